# The cross build for Windows finds no Windows builds of the host's packages; it takes them from
# the host in a form that cannot mix host and target headers:
# - nlohmann-json (header-only): its headers are copied into the build tree, because putting the
#   host's /usr/include on the cross compiler's include path would shadow the target's C library;
# - GoogleTest: built from Debian's sources (/usr/src/googletest, package googletest) with the
#   cross compiler, under the names find_package(GTest) gives.
find_package(nlohmann_json 3 QUIET)
if(NOT nlohmann_json_FOUND)
  find_file(LINVO_HOST_NLOHMANN_JSON nlohmann/json.hpp PATHS /usr/include
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  get_filename_component(nlohmann_dir ${LINVO_HOST_NLOHMANN_JSON} DIRECTORY)
  file(COPY ${nlohmann_dir} DESTINATION ${PROJECT_BINARY_DIR}/host-headers)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${PROJECT_BINARY_DIR}/host-headers)
endif()

if(LINVO_BUILD_TESTS)
  set(LINVO_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to cross-build")
  if(NOT EXISTS ${LINVO_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources at ${LINVO_GOOGLETEST_SOURCE} "
                        "(Debian package googletest; scripts/install-deps.sh windows)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${LINVO_GOOGLETEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(lib gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${lib})
      add_library(GTest::${lib} ALIAS ${lib})
    endif()
  endforeach()
endif()
