# Shared part of the two mingw-w64 toolchain files; KORV_TRIPLE is set by the includer.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KORV_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORV_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KORV_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KORV_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# UTF-8 resource scripts: every .rc starts with #pragma code_page(65001).
set(CMAKE_RC_FLAGS_INIT "--codepage=65001")

# Every program imports system DLLs only: libgcc, libstdc++ and winpthread go in statically.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests run the Windows programs through Wine in the project's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
