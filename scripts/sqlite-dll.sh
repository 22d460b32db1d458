#!/usr/bin/env bash
# Builds the SQLite library that the tests load, from Debian's sqlite3 source
# package (fetched by scripts/setup.sh), for the build's own Windows target.
#
#   scripts/sqlite-dll.sh <mingw C compiler> <output sqlite3.dll> <work dir>
#
# Debian's original tarball is the full source tree without the amalgamation:
# configure runs on the host and makes sqlite3.c (it needs tclsh), then the one
# file is cross-compiled. The library is for the tests only and never shipped;
# the programs load the one that Firefox brings.
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 <cc> <out.dll> <work dir>" >&2; exit 2; }
cc=$1
out=$(realpath -m "$2")
work=$(realpath -m "$3")
cache=${KORV_SOURCE_CACHE:-/var/cache/korvelle/sources}

shopt -s nullglob
tarballs=("$cache"/sqlite3_*.orig.tar.*)
[ ${#tarballs[@]} -gt 0 ] || {
    echo "sqlite-dll: no sqlite3 source tarball in $cache (run scripts/setup.sh)" >&2
    exit 1
}
tarball=${tarballs[-1]}

stamp="$work/.source"
if [ ! -f "$work/bld/sqlite3.c" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$tarball" ]; then
    rm -rf "$work"
    mkdir -p "$work/src" "$work/bld"
    tar -xf "$tarball" -C "$work/src" --strip-components=1
    (
        cd "$work/bld"
        ../src/configure --disable-tcl >configure.log 2>&1 ||
            { tail -20 configure.log >&2; exit 1; }
        make sqlite3.c >make.log 2>&1 || { tail -20 make.log >&2; exit 1; }
    )
    echo "$tarball" >"$stamp"
fi

# -Os: one large file and no parallelism; the tests need a working library, not a fast one.
mkdir -p "$(dirname "$out")"
"$cc" -shared -Os "-DSQLITE_API=__declspec(dllexport)" -DSQLITE_OMIT_LOAD_EXTENSION \
    -static-libgcc "$work/bld/sqlite3.c" -o "$out.tmp"
mv -f "$out.tmp" "$out"
