file(GLOB module_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
list(APPEND LINVO_SOURCES ${module_sources})
# The in-process COM server (class factories, registration, the control's COM interfaces): Windows
# only, in win/.
if(WIN32)
  file(GLOB module_win_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/win/*.cpp)
  list(APPEND LINVO_SOURCES ${module_win_sources})
  list(APPEND LINVO_LINK_LIBRARIES oleaut32 ole32 uuid advapi32)
endif()
