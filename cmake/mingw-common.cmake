# Shared part of the two mingw-w64 toolchain files; TALVENOR_MINGW_TRIPLE names the target.
# The product is built with the win32 thread model: it uses the platform's own
# threads and critical sections, and imports nothing but system DLLs.
set(CMAKE_C_COMPILER ${TALVENOR_MINGW_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${TALVENOR_MINGW_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${TALVENOR_MINGW_TRIPLE}-windres)
set(TALVENOR_WIDL ${TALVENOR_MINGW_TRIPLE}-widl)
set(CMAKE_FIND_ROOT_PATH /usr/${TALVENOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
