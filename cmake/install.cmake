# cmake --install: liblinvo.so, the public headers under include/linvo/, linvo.pc and the CMake
# package (find_package(linvo CONFIG) gives linvo::linvo); on Linux also the Python package and,
# with LINVO_MANPAGES, the commands' man pages (the commands install from tools/); on Windows
# linvo.dll with its type library and manifest.
include(CMakePackageConfigHelpers)

set(LINVO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/linvo)

install(TARGETS linvo EXPORT linvoTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
file(GLOB LINVO_PUBLIC_HEADERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/include/linvo/*.h
                                                 ${PROJECT_SOURCE_DIR}/include/linvo/*.hpp)
install(FILES ${LINVO_PUBLIC_HEADERS} ${PROJECT_BINARY_DIR}/include/linvo/version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/linvo)

install(EXPORT linvoTargets NAMESPACE linvo:: DESTINATION ${LINVO_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/linvoConfig.cmake.in
  ${PROJECT_BINARY_DIR}/linvoConfig.cmake INSTALL_DESTINATION ${LINVO_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/linvoConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/linvoConfig.cmake ${PROJECT_BINARY_DIR}/linvoConfigVersion.cmake
  DESTINATION ${LINVO_CMAKE_DIR})

# linvo.pc finds its prefix from its own place, so an installed tree can be moved.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  message(FATAL_ERROR "linvo.pc needs CMAKE_INSTALL_LIBDIR and CMAKE_INSTALL_INCLUDEDIR relative")
endif()
file(RELATIVE_PATH LINVO_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/linvo.pc.in ${PROJECT_BINARY_DIR}/linvo.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/linvo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(WIN32)
  # Beside linvo.dll: its type library as a file (for tools that import one) and the manifest for
  # use without registration. The Windows installer takes these from the installed tree.
  install(FILES ${LINVO_TYPELIB} ${PROJECT_BINARY_DIR}/linvo.manifest
    DESTINATION ${CMAKE_INSTALL_BINDIR})
  return()
endif()

# The Python package, pure Python over liblinvo.so.1, with its metadata (name and version) so that
# importlib.metadata and pip see what is installed. The default is where Debian's python3 looks
# under the prefix /usr; another prefix needs a directory on its interpreter's path.
set(LINVO_PYTHON_INSTALL_DIR lib/python3/dist-packages CACHE STRING
    "Where the Python package is installed, relative to the prefix")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/linvo DESTINATION ${LINVO_PYTHON_INSTALL_DIR}
  FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
configure_file(${PROJECT_SOURCE_DIR}/cmake/python_metadata.in
               ${PROJECT_BINARY_DIR}/python/METADATA @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/python/METADATA
  DESTINATION ${LINVO_PYTHON_INSTALL_DIR}/linvo-${PROJECT_VERSION}.dist-info)
# The package's version module as the project version makes it; python/linvo/_version.py must equal
# it (a test compares them), since pip builds the package from the source tree alone.
configure_file(${PROJECT_SOURCE_DIR}/cmake/python_version.py.in
               ${PROJECT_BINARY_DIR}/python/_version.py @ONLY)

include(${PROJECT_SOURCE_DIR}/cmake/manpages.cmake)
