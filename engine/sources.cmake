file(GLOB engine_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
list(APPEND LINVO_SOURCES ${engine_sources})
