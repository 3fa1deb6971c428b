file(GLOB control_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
list(APPEND LINVO_SOURCES ${control_sources})

# The JSON property bag (Debian: nlohmann-json3-dev, header-only).
# (The Windows cross build provides the target itself: cmake/windows_packages.cmake.)
if(NOT TARGET nlohmann_json::nlohmann_json)
  find_package(nlohmann_json 3 REQUIRED)
endif()
list(APPEND LINVO_LINK_LIBRARIES nlohmann_json::nlohmann_json)
