#!/usr/bin/env bash
# Runs a Windows test program of a cross-build under Wine, as CTest's
# emulator, the way an operator's PC would: a Chinese locale (code page
# 936), a Wine prefix of this build's own under the temporary folder, the
# DLLs and Qt plugins of the build's toolchain.
#
#   run.sh ENV_FILE --setup          make the prefix (CTest fixture)
#   run.sh ENV_FILE --cleanup        end its Wine server, remove it
#   run.sh ENV_FILE PROGRAM [ARG...] run a program in it
#
# ENV_FILE (written by tests/CMakeLists.txt) sets build_dir, dll_dirs (Unix
# paths, ':'-separated) and plugin_dir.
set -euo pipefail
exec </dev/null
env_file=$1
shift
# shellcheck source=/dev/null
. "$env_file"

# One prefix per build folder, so that two builds never share a Wine server.
key=$(printf '%s' "$build_dir" | cksum | cut -d' ' -f1)
base=${TMPDIR:-/tmp}/tabulon-wine-$(id -u)-$key
export WINEPREFIX=$base/prefix
# Wine's server keeps its socket under TMPDIR: inside the base as well.
export TMPDIR=$base/tmp
export WINEDEBUG=-all
# No .NET or browser engine: a new prefix would offer to install them.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Offscreen Qt needs no display; a display left in the environment would
# only make Wine start its X driver.
unset DISPLAY WAYLAND_DISPLAY

# Wine takes its code pages from the Linux locale, whose data it needs.
locale=(env LOCPATH="$base/locale" LC_ALL=zh_CN.UTF-8)

case ${1:-} in
--setup)
    rm -rf "$base"
    mkdir -p "$base/locale" "$TMPDIR"
    localedef -i zh_CN -f UTF-8 "$base/locale/zh_CN.UTF-8"
    # Only 64-bit Wine is installed; its complaint about the missing 32-bit
    # rundll32.exe is expected.
    timeout 300 "${locale[@]}" wineboot --init >"$base/wineboot.log" 2>&1
    "${locale[@]}" wineserver -w
    echo "Wine prefix $WINEPREFIX ($(wine --version)), code page 936"
    exit 0
    ;;
--cleanup)
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
    fi
    rm -rf "$base"
    exit 0
    ;;
esac

[ -d "$WINEPREFIX" ] || { echo "no Wine prefix at $WINEPREFIX: run the fixture wine_prefix first" >&2; exit 1; }

# Wine passes no QT_ variable to Windows programs, but hands WINEQT_X on as
# QT_X. CTest sets QT_QPA_PLATFORM=offscreen for every test.
while IFS= read -r name; do
    export "WINE$name=${!name}"
done < <(compgen -e | grep '^QT_' || true)
export WINEQT_PLUGIN_PATH="Z:$plugin_dir"
winepath=
IFS=: read -r -a dirs <<<"$dll_dirs"
for d in "${dirs[@]}"; do winepath+="${winepath:+;}Z:$d"; done
export WINEPATH=$winepath

program=$1
shift
case $(basename "$program") in
tst_*)
    # A QtTest program's standard output does not reach a file or a pipe
    # under Wine; its log file does.
    log=$(mktemp "$TMPDIR/log.XXXXXX")
    status=0
    "${locale[@]}" wine "$program" "$@" -o "Z:$log,txt" || status=$?
    cat "$log"
    rm -f "$log"
    exit "$status"
    ;;
*)
    exec "${locale[@]}" wine "$program" "$@"
    ;;
esac
