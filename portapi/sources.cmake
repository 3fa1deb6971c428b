file(GLOB portapi_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
list(APPEND LINVO_SOURCES ${portapi_sources})
