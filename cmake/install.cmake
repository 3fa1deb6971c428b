# cmake --install: liblinvo.so, the public headers under include/linvo/, linvo.pc and the CMake
# package (find_package(linvo CONFIG) gives linvo::linvo).
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
