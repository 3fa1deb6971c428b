file(GLOB control_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
# The print spooler: winspool on Windows, CUPS (or none) elsewhere.
if(WIN32)
  list(REMOVE_ITEM control_sources ${CMAKE_CURRENT_LIST_DIR}/print_spooler.cpp)
else()
  list(REMOVE_ITEM control_sources ${CMAKE_CURRENT_LIST_DIR}/print_spooler_winspool.cpp)
endif()
list(APPEND LINVO_SOURCES ${control_sources})

# Print job clearing talks to CUPS through libcups (Debian: libcups2-dev). CMake's FindCups is
# used because Debian's libcups2-dev ships no pkg-config file. LINVO_HAVE_CUPS tells the
# sources (and the tests) that the real spooler is built in.
if(LINVO_WITH_CUPS)
  find_package(Cups REQUIRED)
  list(APPEND LINVO_LINK_LIBRARIES Cups::Cups)
  add_compile_definitions(LINVO_HAVE_CUPS=1)
endif()

# The JSON property bag (Debian: nlohmann-json3-dev, header-only).
# (The Windows cross build provides the target itself: cmake/windows_packages.cmake.)
if(NOT TARGET nlohmann_json::nlohmann_json)
  find_package(nlohmann_json 3 REQUIRED)
endif()
list(APPEND LINVO_LINK_LIBRARIES nlohmann_json::nlohmann_json)
