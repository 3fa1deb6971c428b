# Cross build for 64-bit Windows with Debian's mingw-w64, posix-threads variant (std::thread,
# std::mutex and std::condition_variable over winpthreads). For 32-bit Windows, point
# LINVO_MINGW_TRIPLET at i686-w64-mingw32.
set(CMAKE_SYSTEM_NAME Windows)
set(LINVO_MINGW_TRIPLET x86_64-w64-mingw32 CACHE STRING "mingw-w64 target triplet")
if(LINVO_MINGW_TRIPLET MATCHES "^i686")
  set(CMAKE_SYSTEM_PROCESSOR x86)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
endif()

set(CMAKE_C_COMPILER /usr/bin/${LINVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/${LINVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER /usr/bin/${LINVO_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${LINVO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs run under Wine without the compiler's runtime DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
