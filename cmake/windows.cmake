# The Windows library: linvo.dll (with its import library), exporting what LINVO_API marks, and
# its resources: the version resource the library reads its version text from and the type
# library. The programs that link the internal static library (tests, tools) carry the same
# resources, so the lookups work in them too.
enable_language(RC)

# The type library LINVOLib: widl compiles module/win/linvo.idl (written by linvo-idl from the
# member table) for the target's pointer size. The IDL imports Wine's oaidl.idl for IDispatch and
# the library imports stdole2.tlb; Debian's Wine packages provide both (mingw-w64 has no IDL
# files), and the 64-bit stdole2.tlb serves the 32-bit build too (the import names only types
# and GUIDs).
find_program(LINVO_WIDL ${LINVO_MINGW_TRIPLET}-widl)
find_path(LINVO_WINE_IDL_DIR oaidl.idl PATHS /usr/include/wine/wine/windows
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
find_file(LINVO_STDOLE2_TLB stdole2.tlb
          PATHS /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/wine/x86_64-windows
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT LINVO_WIDL)
  message(FATAL_ERROR "${LINVO_MINGW_TRIPLET}-widl is missing: install the Debian package "
                      "mingw-w64-tools (scripts/install-deps.sh)")
endif()
if(NOT LINVO_WINE_IDL_DIR)
  message(FATAL_ERROR "Wine's oaidl.idl is missing: install the Debian package libwine-dev "
                      "(scripts/install-deps.sh)")
endif()
if(NOT LINVO_STDOLE2_TLB)
  message(FATAL_ERROR "Wine's stdole2.tlb is missing: install the Debian package libwine "
                      "(scripts/install-deps.sh)")
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(widl_target --win64)
else()
  set(widl_target --win32)
endif()
get_filename_component(stdole2_dir ${LINVO_STDOLE2_TLB} DIRECTORY)
set(LINVO_IDL ${PROJECT_SOURCE_DIR}/module/win/linvo.idl)
set(LINVO_TYPELIB ${PROJECT_BINARY_DIR}/linvo.tlb)
add_custom_command(
  OUTPUT ${LINVO_TYPELIB}
  COMMAND ${LINVO_WIDL} ${widl_target} -t -o ${LINVO_TYPELIB} -I ${LINVO_WINE_IDL_DIR}
          -L ${stdole2_dir} ${LINVO_IDL}
  DEPENDS ${LINVO_IDL}
  COMMENT "Compiling the type library linvo.tlb"
  VERBATIM)

# The resources are compiled once; linvo.rc names linvo.tlb, which windres finds beside it (the
# include path) and which the preprocessor's dependency list does not see, hence OBJECT_DEPENDS.
set(LINVO_VERSION_TEXT
    "${PROJECT_VERSION_MAJOR}, ${PROJECT_VERSION_MINOR}, ${PROJECT_VERSION_PATCH}, ${PROJECT_VERSION_TWEAK}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/linvo.rc.in ${PROJECT_BINARY_DIR}/linvo.rc @ONLY)
# The bitmaps are drawn by a Python script at build time.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(LINVO_BITMAPS ${PROJECT_BINARY_DIR}/res/toolbox.bmp ${PROJECT_BINARY_DIR}/res/design.bmp)
add_custom_command(
  OUTPUT ${LINVO_BITMAPS}
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/module/win/res/bitmaps.py
          ${PROJECT_BINARY_DIR}/res
  DEPENDS ${PROJECT_SOURCE_DIR}/module/win/res/bitmaps.py
  COMMENT "Drawing the bitmaps of linvo.dll"
  VERBATIM)
set_source_files_properties(${PROJECT_BINARY_DIR}/linvo.rc PROPERTIES
  OBJECT_DEPENDS "${LINVO_TYPELIB};${LINVO_BITMAPS};${PROJECT_SOURCE_DIR}/module/win/linvo_strings.rc")
add_library(linvo_resources OBJECT ${PROJECT_BINARY_DIR}/linvo.rc)
target_include_directories(linvo_resources PRIVATE ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/res
                                                   ${PROJECT_SOURCE_DIR}/module/win)
target_sources(linvo PRIVATE $<TARGET_OBJECTS:linvo_resources>)
target_sources(linvo_internal INTERFACE $<TARGET_OBJECTS:linvo_resources>)
set_target_properties(linvo PROPERTIES PREFIX "" OUTPUT_NAME linvo)
target_link_options(linvo PRIVATE -Wl,--no-undefined)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The COM entry points are __stdcall, which 32-bit names decorate (DllRegisterServer@0); they are
  # exported under their plain names, the ones regsvr32 and COM look up.
  target_link_options(linvo PRIVATE -Wl,--kill-at)
endif()

# The manifest for use without registration (written by linvo-idl --manifest) sits beside the DLL.
configure_file(${PROJECT_SOURCE_DIR}/module/win/linvo.manifest ${PROJECT_BINARY_DIR}/linvo.manifest
               COPYONLY)
