# The PNG codec: Debian's libpng source tarball, fetched by scripts/setup.sh
# into the source cache, unpacked into this tree's deps/ at configure time and
# built as the static library png_static (zlib through it). Nothing of it is
# committed.

if(DEFINED ENV{KORV_SOURCE_CACHE})
    set(korv_source_cache $ENV{KORV_SOURCE_CACHE})
else()
    set(korv_source_cache /var/cache/korvelle/sources)
endif()
file(GLOB korv_png_tarballs ${korv_source_cache}/libpng1.6_*.orig.tar.*)
if(NOT korv_png_tarballs)
    message(FATAL_ERROR "No libpng1.6 source tarball in ${korv_source_cache}: run scripts/setup.sh")
endif()
list(SORT korv_png_tarballs)
list(GET korv_png_tarballs -1 korv_png_tarball)

# Unpacked again only when the tarball changes.
set(korv_png_root ${CMAKE_BINARY_DIR}/deps/libpng)
set(korv_png_stamp ${korv_png_root}/tarball)
set(korv_png_unpacked "")
if(EXISTS ${korv_png_stamp})
    file(READ ${korv_png_stamp} korv_png_unpacked)
endif()
if(NOT korv_png_unpacked STREQUAL korv_png_tarball)
    file(REMOVE_RECURSE ${korv_png_root})
    file(ARCHIVE_EXTRACT INPUT ${korv_png_tarball} DESTINATION ${korv_png_root}/src)
    file(WRITE ${korv_png_stamp} ${korv_png_tarball})
endif()
file(GLOB korv_png_source LIST_DIRECTORIES true ${korv_png_root}/src/libpng-*)
if(NOT EXISTS ${korv_png_source}/png.h)
    message(FATAL_ERROR "The libpng tarball ${korv_png_tarball} holds no png.h: run scripts/setup.sh")
endif()

set(PNG_SHARED OFF CACHE BOOL "" FORCE)
set(PNG_STATIC ON CACHE BOOL "" FORCE)
set(PNG_TESTS OFF CACHE BOOL "" FORCE)
set(PNG_EXECUTABLES OFF CACHE BOOL "" FORCE)
set(SKIP_INSTALL_ALL ON CACHE BOOL "" FORCE)
# Debian's mingw zlib ships an import library too; the programs must not import zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON CACHE BOOL "" FORCE)
add_subdirectory(${korv_png_source} ${korv_png_root}/build EXCLUDE_FROM_ALL)
# png_static carries no include directories of its own (png.h in the sources,
# pnglibconf.h generated in its build folder), and it links with the plain
# signature, so no keyword-form target_link_libraries may be added to it.
target_include_directories(png_static INTERFACE ${korv_png_source} ${korv_png_root}/build)
# Its own code, its own warnings: not ours to fix.
target_compile_options(png_static PRIVATE -w)
