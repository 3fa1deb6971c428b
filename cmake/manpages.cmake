# Man pages of the installed commands, written by help2man from their --help and --version
# output when they are built (LINVO_MANPAGES=ON; the Debian packages turn it on).
option(LINVO_MANPAGES "Generate and install the man pages of linvo and linvo-sim (help2man)" OFF)
if(NOT LINVO_MANPAGES)
  return()
endif()
if(CMAKE_CROSSCOMPILING)
  message(FATAL_ERROR "LINVO_MANPAGES runs the built commands, which a cross build cannot")
endif()
find_program(LINVO_HELP2MAN help2man)
if(NOT LINVO_HELP2MAN)
  message(FATAL_ERROR "LINVO_MANPAGES needs help2man: install the Debian package help2man")
endif()

set(man_dir ${PROJECT_BINARY_DIR}/man)
set(man_pages)
# linvo_man_page(TARGET NAME DESCRIPTION [help2man options]): NAME.1 from the program of TARGET.
function(linvo_man_page target name description)
  set(page ${man_dir}/${name}.1)
  add_custom_command(
    OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${man_dir}
    COMMAND ${LINVO_HELP2MAN} --no-info --section=1 "--name=${description}"
            ${ARGN} --output=${page} $<TARGET_FILE:${target}>
    DEPENDS ${target}
    COMMENT "Writing the man page ${name}.1"
    VERBATIM)
  set(man_pages ${man_pages} ${page} PARENT_SCOPE)
endfunction()

linvo_man_page(linvo_cli linvo "drive the serial device control by member name from the shell")
# linvo-sim has --help only; its version is the project's.
linvo_man_page(linvo-sim linvo-sim
               "simulate the serial device on a pseudo-terminal or a serial line"
               --version-string=${PROJECT_VERSION})
add_custom_target(linvo_man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
