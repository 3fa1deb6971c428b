# The platform layer: the units in platform/ build everywhere; each system adds its own backends,
# platform/posix/ or platform/win/ (one folder per system, so no file list is kept by hand).
# platform/net/ is the network serial line, portable over the socket backends of each system.
file(GLOB platform_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp
     ${CMAKE_CURRENT_LIST_DIR}/net/*.cpp)
if(WIN32)
  file(GLOB platform_backend_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/win/*.cpp)
  # Windows 7 and later; ANSI calls, as the system's own names are byte strings.
  add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
  list(APPEND LINVO_LINK_LIBRARIES winspool shell32 ole32 version advapi32 user32 ws2_32)
else()
  file(GLOB platform_backend_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/posix/*.cpp)
  # The print spooler talks to CUPS through libcups (Debian: libcups2-dev). CMake's FindCups is
  # used because Debian's libcups2-dev ships no pkg-config file. LINVO_HAVE_CUPS tells the
  # sources (and the tests) that the real spooler is built in.
  if(LINVO_WITH_CUPS)
    find_package(Cups REQUIRED)
    list(APPEND LINVO_LINK_LIBRARIES Cups::Cups)
    add_compile_definitions(LINVO_HAVE_CUPS=1)
  endif()
endif()
list(APPEND LINVO_SOURCES ${platform_sources} ${platform_backend_sources})
