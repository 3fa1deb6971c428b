# The Windows library: linvo.dll (with its import library), exporting what LINVO_API marks, and
# the version resource the library reads its version text from. The programs that link the
# internal static library (tests, tools) carry the same resource, so the lookup works in them too.
enable_language(RC)
set(LINVO_VERSION_TEXT
    "${PROJECT_VERSION_MAJOR}, ${PROJECT_VERSION_MINOR}, ${PROJECT_VERSION_PATCH}, ${PROJECT_VERSION_TWEAK}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/linvo.rc.in ${PROJECT_BINARY_DIR}/linvo.rc @ONLY)
target_sources(linvo PRIVATE ${PROJECT_BINARY_DIR}/linvo.rc)
target_sources(linvo_internal INTERFACE ${PROJECT_BINARY_DIR}/linvo.rc)
set_target_properties(linvo PROPERTIES PREFIX "" OUTPUT_NAME linvo)
target_link_options(linvo PRIVATE -Wl,--no-undefined)
