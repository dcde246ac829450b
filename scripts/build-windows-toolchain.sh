#!/usr/bin/env bash
# Makes the prefix that scripts/build-windows.sh builds against: Qt 5.15.8
# (qtbase only) and SQLite 3.40.1 for 64-bit Windows, cross-built with
# Debian 12's posix mingw-w64 from Debian 12's own source packages, with
# Debian's patches applied. Installs the packages that are missing.
#
#   bash scripts/build-windows-toolchain.sh [options] PREFIX
#     --work DIR    sources and build here (kept); default a temporary
#                   folder, removed at the end
#     --keep-work   keep the temporary work folder too
#     --jobs N      make parallelism (default $JOBS, else 2)
#   Environment: JOBS; QTBASE_VERSION, SQLITE_VERSION pin a source version
#   (default: the newest that bookworm has).
#
# About 20 to 45 minutes on 2 cores with --jobs 2. Then:
#   TABULON_WINDOWS_PREFIX=PREFIX bash scripts/build-windows.sh
set -euo pipefail
exec </dev/null

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
jobs=${JOBS:-2}
work=""
keep_work=0
prefix=""
tmp_work=0
export DEBIAN_FRONTEND=noninteractive
cross=x86_64-w64-mingw32

usage() {
    sed -n '7,13p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

log() { printf '\n== %s (%dm%02ds)\n' "$*" $((SECONDS / 60)) $((SECONDS % 60)); }

parse_args() {
    while [ $# -gt 0 ]; do
        case $1 in
            --work) work=${2:?--work needs a folder}; shift 2 ;;
            --keep-work) keep_work=1; shift ;;
            --jobs) jobs=${2:?--jobs needs a number}; shift 2 ;;
            -h|--help) usage ;;
            -*) echo "unknown option: $1" >&2; usage ;;
            *) [ -z "$prefix" ] || usage; prefix=$1; shift ;;
        esac
    done
    [ -n "$prefix" ] || usage
    # Qt's -prefix wants an absolute path, and CMake's cross-compiling search
    # fails on one with "..": normalize it.
    prefix=$(realpath -m "$prefix")
    if [ -d "$prefix" ] && [ -n "$(ls -A "$prefix")" ]; then
        echo "$prefix exists and is not empty; give a new folder" >&2
        exit 1
    fi
}

setup_work() {
    if [ -z "$work" ]; then
        work=$(mktemp -d "${TMPDIR:-/tmp}/tabulon-toolchain.XXXXXX")
        tmp_work=1
    fi
    mkdir -p "$work"
    work=$(realpath "$work")
    trap cleanup EXIT
    echo "prefix: $prefix"
    echo "work:   $work"
}

# A temporary work folder holds several GB: never leave it behind, even on
# failure, unless asked to. A folder the caller named is theirs to remove.
cleanup() {
    if [ "$tmp_work" -eq 1 ] && [ "$keep_work" -eq 0 ]; then
        rm -rf "$work"
    else
        echo "work folder kept: $work"
    fi
}

install_packages() {
    # Host compilers build qmake, moc and the amalgamation tool; tcl runs
    # SQLite's amalgamation script; libwine-dev brings the Wintab headers;
    # dpkg-dev brings dpkg-source for `apt-get source`.
    local packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
        mingw-w64-x86-64-dev libwine-dev gcc g++ make perl python3 tcl dpkg-dev patch xz-utils
        debian-archive-keyring)
    log "installing what is missing"
    bash "$here/install-missing.sh" "${packages[@]}"
}

# The system's apt sources have no deb-src lines, and adding some would
# change the machine for good. A private apt setup in the work folder
# (its own sources, lists and cache) fetches bookworm's source packages;
# apt checks them against the signed Release files as usual.
fetch_sources() {
    log "fetching Debian 12 source packages"
    local a=$work/apt
    mkdir -p "$a/sources.list.d" "$a/lists/partial" "$a/cache/archives/partial" "$work/src"
    cat >"$a/sources.list.d/bookworm-src.sources" <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    local opts=(-o Dir::Etc::sourcelist=/dev/null -o "Dir::Etc::sourceparts=$a/sources.list.d"
        -o "Dir::State::Lists=$a/lists" -o "Dir::Cache=$a/cache")
    apt-get "${opts[@]}" update
    local qt=qtbase-opensource-src sq=sqlite3
    [ -z "${QTBASE_VERSION:-}" ] || qt+="=$QTBASE_VERSION"
    [ -z "${SQLITE_VERSION:-}" ] || sq+="=$SQLITE_VERSION"
    (cd "$work/src" && apt-get "${opts[@]}" source --download-only "$qt" "$sq")
}

# dpkg-source -x unpacks the original tarball and applies Debian's patches.
unpack() {
    local name=$1 dir=$2 dsc
    dsc=$(ls "$work/src/${name}"_*.dsc)
    log "unpacking $(basename "$dsc")"
    rm -rf "$dir"
    dpkg-source -x "$dsc" "$dir"
}

build_sqlite() {
    local src=$work/sqlite3 bld=$work/sqlite3-build
    unpack sqlite3 "$src"
    log "building SQLite"
    # The amalgamation (one sqlite3.c plus the generated sqlite3.h) is made
    # by host tools; configure for the host only to get its Makefile.
    rm -rf "$bld" && mkdir -p "$bld"
    (cd "$bld" && "$src/configure" && make sqlite3.c)
    mkdir -p "$prefix/bin" "$prefix/lib" "$prefix/include"
    # JSON is built in since 3.38. LIKE_DOESNT_MATCH_BLOBS is Debian's
    # choice too. Marking the API dllexport exports it alone; a static
    # libgcc spares the DLL a dependency on libgcc_s_seh-1.dll.
    local options=(-DSQLITE_ENABLE_FTS3 -DSQLITE_ENABLE_FTS3_PARENTHESIS -DSQLITE_ENABLE_FTS4
        -DSQLITE_ENABLE_FTS5 -DSQLITE_ENABLE_RTREE=1 -DSQLITE_ENABLE_DBSTAT_VTAB
        -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_ENABLE_MATH_FUNCTIONS -DSQLITE_SECURE_DELETE
        -DSQLITE_LIKE_DOESNT_MATCH_BLOBS -DSQLITE_THREADSAFE=1 -DSQLITE_USE_URI=1)
    "$cross-gcc-posix" -O2 -fno-strict-aliasing -D_WIN32_WINNT=0x0601 '-DSQLITE_API=__declspec(dllexport)' \
        "${options[@]}" -shared -static-libgcc "$bld/sqlite3.c" \
        -o "$prefix/bin/sqlite3.dll" -Wl,--out-implib,"$prefix/lib/libsqlite3.dll.a"
    "$cross-strip" "$prefix/bin/sqlite3.dll"
    cp "$bld/sqlite3.h" "$src/src/sqlite3ext.h" "$prefix/include/"
}

# Debian's tarball drops src/3rdparty/wintab, the tablet headers that the
# windows platform plugin includes from there. Wine's stand in; they use
# two macros that Wine's own headers define (the A/W type names) and Qt
# uses one that the original header defines (API).
add_wintab_headers() {
    local dir=$1/src/3rdparty/wintab wine=/usr/include/wine/wine/windows
    mkdir -p "$dir"
    cp "$wine/wintab.h" "$dir/wine-wintab.h"
    cp "$wine/pktdef.h" "$dir/pktdef.h"
    cat >"$dir/wintab.h" <<'EOF'
#pragma once
#include <windows.h>
#ifndef WINELIB_NAME_AW
# ifdef UNICODE
#  define WINELIB_NAME_AW(name) name##W
# else
#  define WINELIB_NAME_AW(name) name##A
# endif
#endif
#ifndef DECL_WINELIB_TYPE_AW
# define DECL_WINELIB_TYPE_AW(type) typedef WINELIB_NAME_AW(type) type;
#endif
#ifndef API
# define API WINAPI
#endif
#include "wine-wintab.h"
EOF
}

# Qt calls the compiler by the plain name CROSS_COMPILE + g++, which may
# be the win32 thread model; GCC 12's lacks std::thread and std::mutex.
# Names in a folder of our own, first on PATH, leave the system's
# alternatives alone.
posix_compiler_names() {
    local shims=$work/posix-bin tool
    mkdir -p "$shims"
    for tool in gcc g++ c++ cpp; do
        ln -sf "$(command -v "$cross-$tool-posix")" "$shims/$cross-$tool"
    done
    export PATH=$shims:$PATH
}

build_qt() {
    local src=$work/qtbase bld=$work/qtbase-build
    unpack qtbase-opensource-src "$src"
    add_wintab_headers "$src"
    posix_compiler_names
    log "configuring Qt"
    rm -rf "$bld" && mkdir -p "$bld"
    # Windows 7 (0x0601) is the oldest target; only what a Widgets program
    # and its QtTest programs need, with Qt's own copies of the libraries
    # that mingw-w64 lacks.
    (cd "$bld" && "$src/configure" -prefix "$prefix" -xplatform win32-g++ \
        -device-option CROSS_COMPILE=$cross- -opensource -confirm-license -release -shared -strip \
        -nomake examples -nomake tests -no-opengl -no-dbus -no-icu -no-openssl \
        -qt-zlib -qt-pcre -qt-libpng -qt-libjpeg -qt-harfbuzz -qt-freetype \
        -no-sql-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql -no-feature-sql \
        -no-feature-network -no-feature-printer -no-feature-vulkan \
        -D _WIN32_WINNT=0x0601 -D WINVER=0x0601)
    # configure writes only the top Makefile; src/'s, whose targets pick
    # the modules, comes from qmake as the top Makefile would make it.
    (cd "$bld/src" && "$bld/bin/qmake" -o Makefile "$src/src/src.pro")
    log "building Qt modules (make -j$jobs)"
    make -C "$bld/src" -j"$jobs" sub-widgets sub-testlib sub-winmain sub-uic
    log "building Qt plugins"
    make -C "$bld/src" -j"$jobs" sub-plugins
    log "installing Qt"
    make -C "$bld/src" install
    # qmake and the mkspecs belong to the top Makefile, not to src/'s; Qt's
    # CMake packages name both.
    install -m 755 "$bld/bin/qmake" "$prefix/bin/qmake"
    make -C "$bld" install_mkspecs
}

# Xml and Concurrent were built only as dependencies of the build; the
# pkg-config files hold the build folder's paths.
trim_prefix() {
    log "trimming the prefix"
    local m
    for m in Xml Concurrent; do
        rm -rf "$prefix/bin/Qt5$m.dll" "$prefix/lib/libQt5$m.a" "$prefix/lib/Qt5$m.prl" \
            "$prefix/lib/cmake/Qt5$m" "$prefix/include/Qt$m"
        rm -f "$prefix"/lib/metatypes/qt5"${m,,}"_*.json "$prefix"/mkspecs/modules/qt_lib_"${m,,}"*.pri
    done
    rm -rf "$prefix/lib/pkgconfig"
    # Tools and the bootstrap library that only building Qt itself needs, and
    # the mkspecs of other platforms: win32-g++ is the target's, linux-g++
    # the host tools'.
    rm -f "$prefix"/bin/{qlalr,qvkgen,tracegen} "$prefix"/lib/libQt5Bootstrap.*
    local platform
    for platform in "$prefix"/mkspecs/*/; do
        case $(basename "$platform") in common | features | modules | win32-g++ | linux-g++) ;; *) rm -rf "$platform" ;; esac
    done
    # bin/qmake finds the prefix relative to itself wherever it is moved.
    printf '[Paths]\nPrefix=..\n' >"$prefix/bin/qt.conf"
}

# Every program the compiler builds loads these, so they ship beside Qt.
copy_runtime_dlls() {
    log "copying the compiler's runtime DLLs"
    local name path
    for name in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
        path=$("$cross-g++-posix" -print-file-name="$name")
        # Not found, the compiler prints the bare name back.
        [ -f "$path" ] || { echo "the compiler does not know $name" >&2; exit 1; }
        cp "$path" "$prefix/bin/"
    done
}

# The same files scripts/build-windows.sh needs before it builds, plus what
# this script adds for running.
check_prefix() {
    local needed=(lib/cmake/Qt5/Qt5Config.cmake lib/cmake/Qt5Widgets/Qt5WidgetsConfig.cmake
        lib/cmake/Qt5Test/Qt5TestConfig.cmake bin/Qt5Core.dll bin/Qt5Gui.dll bin/Qt5Widgets.dll
        bin/Qt5Test.dll bin/moc bin/qmake mkspecs/win32-g++/qmake.conf mkspecs/qconfig.pri plugins/platforms/qwindows.dll plugins/platforms/qoffscreen.dll
        plugins/styles/qwindowsvistastyle.dll include/sqlite3.h lib/libsqlite3.dll.a bin/sqlite3.dll
        bin/qt.conf bin/libstdc++-6.dll bin/libgcc_s_seh-1.dll bin/libwinpthread-1.dll)
    local missing=() f
    for f in "${needed[@]}"; do [ -e "$prefix/$f" ] || missing+=("$f"); done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "the prefix lacks:" >&2
        printf '  %s\n' "${missing[@]}" >&2
        exit 1
    fi
}

main() {
    parse_args "$@"
    setup_work
    install_packages
    fetch_sources
    build_sqlite
    build_qt
    trim_prefix
    copy_runtime_dlls
    check_prefix
    log "done"
    echo "Toolchain in $prefix, made in $((SECONDS / 60)) min $((SECONDS % 60)) s."
    echo "Build against it: TABULON_WINDOWS_PREFIX=$prefix bash $here/build-windows.sh"
}

main "$@"
