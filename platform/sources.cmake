# The platform layer: units that build everywhere, plus one backend per system. The POSIX
# backends are the files named below; the Win32 backends live in win/.
file(GLOB platform_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
set(platform_posix_only
    clock.cpp
    error_text_posix.cpp
    log_output.cpp
    message.cpp
    named_mutex.cpp
    paths.cpp
    ports_linux.cpp
    process.cpp
    profile.cpp
    serial.cpp
    serial_low_latency.cpp
    serial_tty.cpp
    serial_tty_baud.cpp
    file_io.cpp
    version.cpp
    wake_event.cpp)
if(WIN32)
  foreach(posix_file ${platform_posix_only})
    list(REMOVE_ITEM platform_sources ${CMAKE_CURRENT_LIST_DIR}/${posix_file})
  endforeach()
  file(GLOB platform_win_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/win/*.cpp)
  list(APPEND platform_sources ${platform_win_sources})
  # Windows 7 and later; ANSI calls, as the system's own names are byte strings.
  add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
  list(APPEND LINVO_LINK_LIBRARIES winspool shell32 ole32 version advapi32 user32)
endif()
list(APPEND LINVO_SOURCES ${platform_sources})
