file(GLOB module_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
list(APPEND LINVO_SOURCES ${module_sources})
