#!/usr/bin/env bash
# Cross-builds the viewer for 64-bit Windows on Debian: Tabulon.exe, the
# test programs and the benchmark, in Release, into build-windows/ (or
# $TABULON_WINDOWS_BUILD). Qt 5 and SQLite for mingw-w64 come from one
# prefix, $TABULON_WINDOWS_PREFIX, by default the shared toolchain beside
# the project where there is one. Installs the packages that are missing.
#
#   bash scripts/build-windows.sh          build
#   cd build-windows && ctest              then run the suite under Wine
#   bash scripts/package-windows.sh        then make the zip and the installer
set -euo pipefail
exec </dev/null
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TABULON_WINDOWS_BUILD:-$root/build-windows}
shared=$root/../shared/toolchains/windows-x86_64
prefix=${TABULON_WINDOWS_PREFIX:-}
if [ -z "$prefix" ] && [ -d "$shared" ]; then prefix=$shared; fi

# What the build needs from the prefix; the tests need the offscreen
# plugin, the package the windows one and the style.
needed=(lib/cmake/Qt5/Qt5Config.cmake lib/cmake/Qt5Widgets/Qt5WidgetsConfig.cmake lib/cmake/Qt5Test/Qt5TestConfig.cmake
    bin/Qt5Core.dll bin/Qt5Gui.dll bin/Qt5Widgets.dll bin/Qt5Test.dll bin/moc bin/qmake
    plugins/platforms/qwindows.dll plugins/platforms/qoffscreen.dll plugins/styles/qwindowsvistastyle.dll
    include/sqlite3.h lib/libsqlite3.dll.a bin/sqlite3.dll)
missing=()
if [ -z "$prefix" ]; then
    missing=("the prefix itself (TABULON_WINDOWS_PREFIX is not set and $shared does not exist)")
else
    for f in "${needed[@]}"; do [ -e "$prefix/$f" ] || missing+=("$prefix/$f"); done
fi
if [ ${#missing[@]} -gt 0 ]; then
    {
        echo "No Qt 5 and SQLite for mingw-w64 to build against. Missing:"
        printf '  %s\n' "${missing[@]}"
        echo "Make such a prefix from Debian's own source packages (20 to 45 minutes on 2 cores):"
        echo "  bash scripts/build-windows-toolchain.sh /opt/tabulon-windows"
        echo "then build against it:"
        echo "  TABULON_WINDOWS_PREFIX=/opt/tabulon-windows bash scripts/build-windows.sh"
    } >&2
    exit 1
fi
# CMake's cross-compiling search does not find Qt through a path with "..".
prefix=$(realpath "$prefix")

packages=(cmake make g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 locales)
bash "$root/scripts/install-missing.sh" "${packages[@]}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_PREFIX_PATH="$prefix" \
    -DSQLite3_INCLUDE_DIR="$prefix/include" -DSQLite3_LIBRARY="$prefix/lib/libsqlite3.dll.a"
cmake --build "$build" -j 2
echo "Built for Windows against $prefix into $build"
