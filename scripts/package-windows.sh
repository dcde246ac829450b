#!/usr/bin/env bash
# Makes what an operator gets on Windows, then checks it: builds with
# scripts/build-windows.sh (into $TABULON_WINDOWS_BUILD, by default
# build-windows/), stages the package with "cmake --install", zips it with
# CPack and makes the installer from the same staged files with makensis.
# Installs the packages that are missing; non-zero on any failure.
#
#   bash scripts/package-windows.sh                 build, package, check
#   bash scripts/package-windows.sh --screenshot    also save docs/screenshot-windows.png
#
# Output, in <build>/package/: Tabulon-<version>-win64.zip and
# Tabulon-<version>-win64-setup.exe.
set -euo pipefail
exec </dev/null
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TABULON_WINDOWS_BUILD:-$root/build-windows}
case $build in /*) ;; *) build=$PWD/$build ;; esac
export TABULON_WINDOWS_BUILD=$build
out=$build/package
check_args=()
for a in "$@"; do
    case $a in
    --screenshot) check_args+=("$a") ;;
    *) echo "usage: package-windows.sh [--screenshot]" >&2; exit 2 ;;
    esac
done

seconds_since() { LC_ALL=C awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }
steps=()
step_done() { steps+=("$(printf '%-34s %7s s' "$1" "$(seconds_since "$2")")"); }

# What packaging and checking need (the build installs its own).
packages=(cmake nsis unzip binutils-mingw-w64-x86-64 wine wine64 locales xvfb xdotool imagemagick sqlite3
    fonts-wine fonts-wqy-microhei fontconfig)
bash "$root/scripts/install-missing.sh" "${packages[@]}"

t=$EPOCHREALTIME
bash "$root/scripts/build-windows.sh"
step_done "build (scripts/build-windows.sh)" "$t"

# The names CMake gave the package (cmake/WindowsPackage.cmake).
cpack_value() { sed -n "s/^set($1 \"\(.*\)\")\$/\1/p" "$build/CPackConfig.cmake"; }
version=$(cpack_value CPACK_PACKAGE_VERSION)
name=$(cpack_value CPACK_PACKAGE_FILE_NAME)
[ -n "$version" ] && [ -n "$name" ] || { echo "no package name in $build/CPackConfig.cmake" >&2; exit 1; }
zip=$out/$name.zip
installer=$out/$name-setup.exe
stage=$out/stage
mkdir -p "$out"
# Stripping writes the time into a PE file's header. The stage and CPack
# each strip Tabulon.exe; one fixed time makes the zip and the installer
# hold the same bytes.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(stat -c %Y "$build/Tabulon.exe")}

t=$EPOCHREALTIME
rm -rf "$stage"
cmake --install "$build" --prefix "$stage" --strip >"$out/install.log"
step_done "stage (cmake --install --strip)" "$t"

t=$EPOCHREALTIME
rm -f "$zip" "$zip.sha256"
(cd "$build" && cpack -G ZIP -B "$out" >"$out/cpack.log") || { cat "$out/cpack.log" >&2; exit 1; }
[ -f "$zip" ] || { echo "cpack made no $zip" >&2; cat "$out/cpack.log" >&2; exit 1; }
step_done "zip (cpack -G ZIP)" "$t"

# The installer's file list, from the staged files: File lines to install
# them, and a Delete per file, then an RMDir per folder, deepest first, to
# remove exactly them.
t=$EPOCHREALTIME
files_nsh=$out/files.nsh
nsis_string() # PREFIX TEXT: PREFIX as NSIS reads it, then TEXT literally
{
    # NSIS reads $ as a variable; a double quote would end the string.
    case $2 in *'"'* | *$'\n'*) echo "cannot name $2 in the installer" >&2; return 1 ;; esac
    printf '"%s%s"' "$1" "${2//\$/\$\$}"
}
{
    echo "; Made by scripts/package-windows.sh from $stage"
    echo '!macro TabulonInstallFiles'
    while IFS= read -r -d '' dir; do
        rel=${dir#"$stage"}
        echo "    SetOutPath $(nsis_string '$INSTDIR' "${rel//\//\\}")"
        while IFS= read -r -d '' f; do
            echo "    File $(nsis_string "" "$f")"
        done < <(find "$dir" -maxdepth 1 -type f -print0 | sort -z)
    done < <(find "$stage" -type d -print0 | sort -z)
    echo '!macroend'
    echo '!macro TabulonRemoveFiles'
    while IFS= read -r -d '' f; do
        rel=${f#"$stage"/}
        echo "    Delete $(nsis_string '$INSTDIR\' "${rel//\//\\}")"
    done < <(find "$stage" -type f -print0 | sort -z)
    while IFS= read -r -d '' dir; do
        rel=${dir#"$stage"/}
        echo "    RMDir $(nsis_string '$INSTDIR\' "${rel//\//\\}")"
    done < <(find "$stage" -mindepth 1 -type d -print0 | sort -rz)
    echo '!macroend'
} >"$files_nsh"
if find "$stage" ! -type f ! -type d | grep -q .; then
    echo "the staged package holds something that is neither a file nor a folder:" >&2
    find "$stage" ! -type f ! -type d >&2
    exit 1
fi
size_kb=$(du -sk "$stage" | cut -f1)
rm -f "$installer"
makensis -V2 -NOCD "-DVERSION=$version" "-DFILES=$files_nsh" "-DOUTFILE=$installer" "-DSIZE_KB=$size_kb" \
    "$root/packaging/windows/Tabulon.nsi"
[ -f "$installer" ] || { echo "makensis made no $installer" >&2; exit 1; }
step_done "installer (makensis)" "$t"

echo
echo "$zip ($(stat -c %s "$zip") bytes):"
unzip -l "$zip"
echo "$installer ($(stat -c %s "$installer") bytes)"
echo

t=$EPOCHREALTIME
status=0
bash "$root/scripts/check-windows-package.sh" "$zip" "$installer" "${check_args[@]}" || status=$?
step_done "checks (check-windows-package.sh)" "$t"

echo
echo "Time per step:"
printf '  %s\n' "${steps[@]}"
if [ "$status" != 0 ]; then
    echo "The Windows package failed its checks" >&2
    exit "$status"
fi
echo "Windows package: $zip"
echo "Windows installer: $installer"
