# The same sources as 64-bit Windows programs, for running the tests on hosts
# that cannot execute 32-bit x86 code at all (see scripts/wine-env.sh).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORV_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
