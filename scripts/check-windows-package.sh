#!/usr/bin/env bash
# Checks that the operators' Windows package is whole, on Debian:
#   (a) every program and DLL in the zip finds each DLL it imports in the
#       package or among Windows 7's own, imports no function that Windows 7
#       lacks, and is needed (no DLL that nothing loads); all are stripped;
#       the sample configuration and the guide are UTF-8 with a BOM and CRLF;
#   (b) the unpacked zip under Wine in a Chinese locale (code page 936) in a
#       real window under Xvfb: window, snapshot while it runs, quit on a
#       close message, snapshot gone, demo folder as before;
#   (c) the installer, silently under Wine: installs into Program Files,
#       the Start-menu shortcut starts the viewer in the data folder,
#       uninstalling removes all it installed and only that, and the data
#       folder is never created nor changed.
# Each Wine part has a prefix of its own in a temporary folder, removed at
# the end. Installs the packages that are missing; non-zero on any failure.
#
#   bash scripts/check-windows-package.sh ZIP INSTALLER [--screenshot]
#
# --screenshot saves the viewer's window of (b) as docs/screenshot-windows.png.
set -euo pipefail
exec </dev/null
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
usage() { echo "usage: check-windows-package.sh ZIP INSTALLER [--screenshot]" >&2; exit 2; }
[ $# -ge 2 ] && [ $# -le 3 ] || usage
zip=$(realpath "$1")
installer=$(realpath "$2")
screenshot=0
if [ $# = 3 ]; then [ "$3" = --screenshot ] && screenshot=1 || usage; fi
[ -f "$zip" ] || { echo "no such zip: $zip" >&2; exit 2; }
[ -f "$installer" ] || { echo "no such installer: $installer" >&2; exit 2; }
start=$EPOCHREALTIME

seconds_since() { LC_ALL=C awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }

# fonts-wine: Wine's Tahoma, which every Windows has and Qt's default font
# (MS Shell Dlg 2) is; fonts-wqy-microhei: Chinese glyphs, standing in for
# SimSun and Microsoft YaHei.
packages=(binutils-mingw-w64-x86-64 gcc-mingw-w64-x86-64-posix unzip wine wine64 locales fonts-wine fonts-wqy-microhei fontconfig xvfb xdotool
    imagemagick sqlite3)
bash "$root/scripts/install-missing.sh" "${packages[@]}"
objdump=x86_64-w64-mingw32-objdump

tmp=$(mktemp -d)
xvfb_pid=
prefixes=()
cleanup()
{
    # Ends each Wine server and every program it runs, then the display.
    local p
    for p in "${prefixes[@]}"; do
        WINEPREFIX=$p TMPDIR=$tmp/wine-tmp wineserver -k 2>/dev/null || true
        WINEPREFIX=$p TMPDIR=$tmp/wine-tmp timeout 30 wineserver -w 2>/dev/null || true
    done
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

failed=()
times=()
check() # description, then a command that must succeed
{
    local what=$1
    shift
    if "$@"; then
        echo "  ok: $what"
    else
        echo "  FAILED: $what"
        failed+=("$what")
    fi
}

# --- (a) What the zip holds ----------------------------------------------------

t=$EPOCHREALTIME
echo "(a) The zip: $zip"
unzip -q "$zip" -d "$tmp/zip"
name=$(basename "$zip" .zip)
tops=$(ls -A "$tmp/zip")
check "one top folder, $name (found: $(echo $tops))" test "$tops" = "$name"
pkg=$tmp/zip/$name
[ -d "$pkg" ] || { echo "nothing to check further" >&2; exit 1; }

for f in Tabulon.exe platforms/qwindows.dll styles/qwindowsvistastyle.dll config/Tabulon.ini README.txt; do
    check "holds $f" test -f "$pkg/$f"
done

# Notepad on Windows 7 reads UTF-8 only with a BOM, and shows lines ended
# by LF alone as one line.
utf8_bom_crlf()
{
    [ "$(head -c 3 "$1" | od -An -tx1 | tr -d ' ')" = efbbbf ] &&
        iconv -f UTF-8 -t UTF-8 "$1" >/dev/null 2>&1 &&
        LC_ALL=C awk '!/\r$/ { bad = 1 } END { exit bad }' "$1"
}
for f in config/Tabulon.ini README.txt; do
    [ -f "$pkg/$f" ] && check "$f is UTF-8 with a BOM and CRLF line ends" utf8_bom_crlf "$pkg/$f"
done

# Windows 7 SP1's own DLLs that a program may import (names compared in
# lower case). Anything else must be in the package.
win7_dlls=(
    advapi32.dll bcrypt.dll comctl32.dll comdlg32.dll crypt32.dll d2d1.dll d3d9.dll d3d11.dll dbghelp.dll
    dwmapi.dll dwrite.dll dxgi.dll gdi32.dll imm32.dll iphlpapi.dll kernel32.dll mpr.dll msimg32.dll msvcrt.dll
    netapi32.dll ntdll.dll ole32.dll oleaut32.dll opengl32.dll powrprof.dll psapi.dll rpcrt4.dll secur32.dll
    setupapi.dll shell32.dll shlwapi.dll user32.dll userenv.dll usp10.dll uxtheme.dll version.dll winmm.dll
    winspool.drv ws2_32.dll wtsapi32.dll
)
# Functions of those DLLs that came after Windows 7: a static import of one
# keeps a program from starting there (AddDllDirectory and its kin only
# came to Windows 7 with an update). Qt looks several of them up at run
# time with GetProcAddress, which is fine and not seen here. DLLs that
# Windows 7 lacks altogether (shcore, combase, the api-ms-win-* sets) are
# not on the list above, so importing one fails the check.
after_win7=(
    # Windows 8 and 8.1
    GetSystemTimePreciseAsFileTime CopyFile2 CreateFile2 WaitOnAddress WakeByAddressSingle WakeByAddressAll
    GetCurrentThreadStackLimits PrefetchVirtualMemory DiscardVirtualMemory OfferVirtualMemory
    ReclaimVirtualMemory CreateFileMappingFromApp MapViewOfFileFromApp GetOverlappedResultEx
    InitializeSynchronizationBarrier EnterSynchronizationBarrier DeleteSynchronizationBarrier
    GetProcessMitigationPolicy SetProcessMitigationPolicy GetCurrentPackageId GetCurrentPackageFullName
    GetPackageFamilyName GetPackagePath GetFirmwareType SetThreadInformation GetThreadInformation
    SetProcessInformation GetProcessInformation SetThreadpoolTimerEx SetThreadpoolWaitEx
    RtlAddGrowableFunctionTable EnumDynamicTimeZoneInformation GetDynamicTimeZoneInformationEffectiveYears
    AddDllDirectory RemoveDllDirectory SetDefaultDllDirectories
    EnableMouseInPointer IsMouseInPointerEnabled GetPointerType GetPointerInfo GetPointerFrameTouchInfo
    GetPointerTouchInfo GetPointerPenInfo GetPointerDevices GetPointerDeviceRects RegisterPointerDeviceNotifications
    InjectTouchInput InitializeTouchInjection SetDisplayAutoRotationPreferences GetDisplayAutoRotationPreferences
    GetAutoRotationState IsImmersiveProcess RegisterTouchHitTestingWindow LogicalToPhysicalPointForPerMonitorDPI
    PhysicalToLogicalPointForPerMonitorDPI GetDpiForMonitor SetProcessDpiAwareness GetProcessDpiAwareness
    CreateDXGIFactory2 DXGIGetDebugInterface1 CoIncrementMTAUsage CoDecrementMTAUsage GetAddrInfoExCancel
    GetAddrInfoExOverlappedResult EventSetInformation
    # Windows 10 and 11
    SetThreadDescription GetThreadDescription VirtualAlloc2 MapViewOfFile3 VirtualAllocFromApp
    VirtualProtectFromApp GetSystemCpuSetInformation SetThreadSelectedCpuSets SetProcessDefaultCpuSets
    IsWow64Process2 QueryInterruptTime QueryInterruptTimePrecise QueryUnbiasedInterruptTimePrecise
    GetSystemTimeAdjustmentPrecise GetDpiForWindow GetDpiForSystem GetSystemMetricsForDpi
    AdjustWindowRectExForDpi SystemParametersInfoForDpi EnableNonClientDpiScaling
    SetProcessDpiAwarenessContext SetThreadDpiAwarenessContext GetThreadDpiAwarenessContext
    GetWindowDpiAwarenessContext GetAwarenessFromDpiAwarenessContext AreDpiAwarenessContextsEqual
    IsValidDpiAwarenessContext D3D11On12CreateDevice DXGIDeclareAdapterRemovalSupport
)

is_pe() { [ "$(head -c 2 "$1")" = MZ ]; }
# One line "dll<TAB>function" per static import; "ordinal N" for one by
# number.
imports_of()
{
    "$objdump" -p "$1" | awk '
        /^\tDLL Name: / { dll = $3; next }
        /^$/ { dll = "" }
        dll != "" && /^\t[0-9a-f]+\t *[0-9]+ / {
            name = $3
            if (name == "" || name == "<none>") name = "ordinal " $2
            print dll "\t" name
        }'
}
delay_imports_empty()
{
    "$objdump" -p "$1" | awk '/Delay Import Directory/ { found = 1; if ($4 != "00000000") exit 1 } END { exit !found }'
}
no_debug_sections() { ! "$objdump" -h "$1" | grep -q ' \.debug_'; }

in_list() # word list...
{
    local w=$1
    shift
    local x
    for x in "$@"; do [ "$x" = "$w" ] && return 0; done
    return 1
}

declare -A top_dll=()     # lower-case name -> name in the package
declare -A imports=()     # package path -> lower-case DLL names it imports, space-separated
pe_files=()
while IFS= read -r -d '' f; do
    rel=${f#"$pkg"/}
    is_pe "$f" || continue
    pe_files+=("$rel")
    case $rel in */*) ;; *.dll | *.DLL) top_dll[${rel,,}]=$rel ;; esac
done < <(find "$pkg" -type f -print0 | sort -z)

# Checks one PE file and prints what it found; non-zero on a problem. A
# "package" file may import the package's DLLs and must be stripped.
report_pe() # path, file, package|alone
{
    local rel=$1 f=$2 label=$3
    local list from_pkg=() from_win=() missing=() late=() dll fn problems=()
    list=$(imports_of "$f")
    imports[$rel]=$(cut -f1 <<<"$list" | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
    while IFS= read -r dll; do
        [ -n "$dll" ] || continue
        local lower=${dll,,}
        if [[ $lower == api-ms-win-* || $lower == ext-ms-win-* ]]; then
            missing+=("$dll (an API set: none on Windows 7)")
        elif [ -n "${top_dll[$lower]:-}" ] && [ "$label" = package ]; then
            from_pkg+=("$dll")
        elif in_list "$lower" "${win7_dlls[@]}"; then
            from_win+=("$dll")
        else
            missing+=("$dll")
        fi
    done < <(cut -f1 <<<"$list" | sort -uf)
    while IFS=$'\t' read -r dll fn; do
        [ -n "$fn" ] || continue
        in_list "$fn" "${after_win7[@]}" && late+=("$dll!$fn")
    done <<<"$list"
    [ ${#missing[@]} -eq 0 ] || problems+=("imports what is neither in the package nor in Windows 7: ${missing[*]}")
    [ ${#late[@]} -eq 0 ] || problems+=("imports what Windows 7 lacks: ${late[*]}")
    delay_imports_empty "$f" || problems+=("has delay-load imports, which this check does not read")
    if [ "$label" = package ]; then
        no_debug_sections "$f" || problems+=("carries debug sections (not stripped)")
    fi
    if [ ${#problems[@]} -eq 0 ]; then
        echo "  ok: $rel"
    else
        echo "  FAILED: $rel"
        printf '      %s\n' "${problems[@]}"
    fi
    [ ${#from_pkg[@]} -eq 0 ] || echo "      from the package: ${from_pkg[*]}"
    [ ${#from_win[@]} -eq 0 ] || echo "      from Windows 7:   ${from_win[*]}"
    echo "      $(grep -c . <<<"$list") functions imported, $([ ${#late[@]} -eq 0 ] && echo "none" || echo "${#late[@]}") of them later than Windows 7"
    [ ${#problems[@]} -eq 0 ]
}

echo " Imports (x86_64-w64-mingw32-objdump -p), against ${#win7_dlls[@]} Windows 7 DLLs and ${#after_win7[@]} later functions:"
for rel in "${pe_files[@]}"; do
    report_pe "$rel" "$pkg/$rel" package || failed+=("imports of $rel")
done

# Every DLL at the top is loaded: imported by the program, by a plugin
# (which Qt loads from its folder) or by a DLL that is. What nothing loads
# does not belong in the package.
declare -A reached=()
queue=(Tabulon.exe)
for rel in "${pe_files[@]}"; do [[ $rel == */* ]] && queue+=("$rel"); done
while [ ${#queue[@]} -gt 0 ]; do
    cur=${queue[0]}
    queue=("${queue[@]:1}")
    [ -z "${reached[$cur]:-}" ] || continue
    reached[$cur]=1
    for d in ${imports[$cur]:-}; do
        [ -n "${top_dll[$d]:-}" ] && queue+=("${top_dll[$d]}")
    done
done
echo " Loaded by whom (plugins: by Qt, from platforms\\ and styles\\):"
for rel in "${pe_files[@]}"; do
    [[ $rel == */* || $rel == Tabulon.exe ]] && continue
    by=()
    for other in "${pe_files[@]}"; do
        [[ " ${imports[$other]:-} " == *" ${rel,,} "* ]] && by+=("$other")
    done
    if [ -n "${reached[$rel]:-}" ]; then
        echo "  ok: $rel, imported by ${by[*]}"
    else
        echo "  FAILED: $rel is loaded by nothing in the package${by:+ (imported only by ${by[*]}, itself unused)}"
        failed+=("unused $rel")
    fi
done
echo " The installer (it must start on Windows 7 too):"
report_pe "$(basename "$installer")" "$installer" alone || failed+=("imports of the installer")

# The check itself: a program that imports what Windows 7 lacks must fail it.
cat >"$tmp/probe.c" <<'EOF'
#define _WIN32_WINNT 0x0A00
#include <windows.h>
#include <shellscalingapi.h>
int main(void)
{
    FILETIME now;
    UINT x, y;
    GetSystemTimePreciseAsFileTime(&now);
    return GetDpiForMonitor(NULL, MDT_EFFECTIVE_DPI, &x, &y) == S_OK && now.dwLowDateTime == 0;
}
EOF
probe=
if x86_64-w64-mingw32-gcc-posix -O1 -o "$tmp/probe.exe" "$tmp/probe.c" -lshcore 2>"$tmp/probe.log"; then
    probe=$(report_pe probe.exe "$tmp/probe.exe" alone || true)
else
    cat "$tmp/probe.log"
fi
caught()
{
    grep -q "Windows 7 lacks: KERNEL32.dll!GetSystemTimePreciseAsFileTime" <<<"$probe" &&
        grep -qi "neither in the package nor in Windows 7: shcore.dll" <<<"$probe"
}
check "the check catches a probe that imports GetSystemTimePreciseAsFileTime and shcore.dll" caught
grep -E 'lacks|neither' <<<"$probe" | sed 's/^ */      probe: /' || true
times+=("(a) zip contents and imports: $(seconds_since "$t") s")

# --- Wine --------------------------------------------------------------------

# A display for the windows platform plugin: Xvfb picks a free number.
mkdir -p "$tmp/wine-tmp" "$tmp/locale" "$tmp/home"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
[ -s "$tmp/display" ] || { cat "$tmp/xvfb.log" >&2; echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(cat "$tmp/display")
unset WAYLAND_DISPLAY WINEPATH WINEPREFIX WINEARCH
# Nothing of the caller's Qt settings reaches the programs.
while IFS= read -r v; do unset "$v"; done < <(compgen -e | grep -E '^(WINE)?QT_' || true)
export TMPDIR=$tmp/wine-tmp WINEDEBUG=-all HOME=$tmp/home
# No .NET or browser engine offered; no menu entries or file associations
# written into the host's desktop by winemenubuilder.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# The operators' Chinese Windows: Wine takes code page 936 from the locale.
localedef -i zh_CN -f UTF-8 "$tmp/locale/zh_CN.UTF-8"
zh=(env LOCPATH="$tmp/locale" LC_ALL=zh_CN.UTF-8)
# Wine writes its messages in the console's code page, 936 here.
from_gbk() { iconv -c -f GBK -t UTF-8; }

chinese_font=$(fc-list :lang=zh-cn family | cut -d, -f1 | sort -u | paste -sd /)
wine_fonts=/usr/share/wine/fonts
if [ -z "$chinese_font" ] || [ ! -f "$wine_fonts/tahoma.ttf" ]; then
    echo "Wine needs Tahoma ($wine_fonts/tahoma.ttf, fonts-wine) and a Chinese font (fonts-wqy-microhei)" >&2
    exit 1
fi

new_prefix() # dir: a fresh prefix, made with the display there
{
    export WINEPREFIX=$1
    prefixes+=("$1")
    # Only 64-bit Wine is installed; its complaint about the missing 32-bit
    # rundll32.exe is expected.
    timeout 300 "${zh[@]}" wineboot --init >"$1.wineboot.log" 2>&1
    timeout 60 wineserver -w
    # This Wine does not load the fonts of fonts-wine from where Debian puts
    # them; a Windows has them in its Fonts folder, so they go there.
    # Without Tahoma, Qt's default font falls back to the first family it
    # finds (here a math font), and every row is three times as high.
    cp "$wine_fonts"/* "$1/drive_c/windows/Fonts/"
}

sha_list() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 -r sha256sum); }
snapshot_of() { echo "$1/sqlDatabase/QOR-database-temp.db"; }

# Waits until the viewer's window is shown; gives up early when the
# launcher $2 (if any) has ended without one. Prints the window's id.
wait_for_window() # seconds [launcher_pid]
{
    local i w
    for ((i = 0; i < $1 * 5; i++)); do
        w=$(xdotool search --onlyvisible --name '^Tabulon$' 2>/dev/null | head -n 1 || true)
        if [ -n "$w" ]; then
            echo "$w"
            return 0
        fi
        [ -z "${2:-}" ] || kill -0 "$2" 2>/dev/null || return 1
        sleep 0.2
    done
    return 1
}
# The Linux process that runs the Windows program $1 (a Unix path): Wine
# maps the program's file into it.
process_of() # exe
{
    local p
    for p in $(pgrep -f 'Tabulon\.exe' || true); do
        grep -qF " $1" "/proc/$p/maps" 2>/dev/null && { echo "$p"; return 0; }
    done
    return 1
}
# The PE files a running program has loaded, as the files Wine mapped.
loaded_files() # pid
{
    awk '/\.([dD][lL][lL]|[eE][xX][eE]|[dD][rR][vV])$/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' \
        "/proc/$1/maps" | sort -u
}
# Every PE file of the folder $2 (but $3) is loaded from there, and nothing
# else but Wine's own DLLs: its builtin ones (where Debian keeps them) and
# the stand-ins in the prefix's system folders.
loads_exactly() # pid folder [file to leave out]
{
    [ -n "$1" ] || return 1
    diff <(cd "$2" && find . -type f ! -name "${3:-/}" -print0 | sort -z | while IFS= read -r -d '' f; do
            is_pe "$f" && echo "$2/${f#./}"
        done | sort) \
        <(loaded_files "$1" | grep -vF -e /usr/lib/x86_64-linux-gnu/wine/ -e "$WINEPREFIX/drive_c/windows/" || true)
}
wait_for_exit() # seconds pid
{
    local i
    [ -n "$2" ] && [ "$2" != 0 ] || return 1
    for ((i = 0; i < $1 * 5; i++)); do
        kill -0 "$2" 2>/dev/null || return 0
        sleep 0.2
    done
    return 1
}
close_viewer() # the close message that Windows sends when a window is closed
{
    echo "  wine taskkill /im Tabulon.exe: $("${zh[@]}" wine taskkill /im Tabulon.exe 2>&1 | from_gbk | tr -d '\r')"
}
no_error_lines() { ! grep -qE '无法打开源文件|无法打开目标文件|SQL error|Failed to execute query' "$1"; }
same_file() { cmp -s "$1" "$2"; }

# --- (b) The unpacked zip ------------------------------------------------------

t=$EPOCHREALTIME
echo "(b) The unpacked zip under Wine ($(wine --version)), code page 936, display $DISPLAY"
new_prefix "$tmp/prefix-zip"
echo "  new prefix: $(seconds_since "$t") s; fonts: Wine's Tahoma, and $chinese_font for Chinese"
demo=$tmp/demo
bash "$root/scripts/make-demo.sh" "$demo" >/dev/null
sha_list "$demo" >"$tmp/demo-before.sha256"
console=$tmp/zip-console.txt
(cd "$demo" && exec "${zh[@]}" wine "$pkg/Tabulon.exe" >"$console" 2>&1) &
viewer=$!
t_run=$EPOCHREALTIME
window=$(wait_for_window 60 "$viewer" || true)
check "the window \"Tabulon\" appears (xdotool; after $(seconds_since "$t_run") s)" test -n "$window"
check "the snapshot exists while it runs" test -f "$(snapshot_of "$demo")"
pid=$(process_of "$pkg/Tabulon.exe" || true)
check "it has loaded every program file of the package from there, plugins included, and no DLL from elsewhere but Wine's own" \
    loads_exactly "$pid" "$pkg"
[ -z "$pid" ] || echo "  Wine's own DLLs it loaded: $(loaded_files "$pid" | grep -F /wine/ | sed 's#.*/##' | paste -sd ' ')"
if [ -n "$window" ]; then
    # Painted by then; the grab is of the window alone.
    sleep 2
    import -window "$window" "$tmp/zip-window.png"
    echo "  window: $(xdotool getwindowgeometry "$window" | sed -n 's/^ *Geometry: //p')"
    if [ "$screenshot" = 1 ]; then
        mkdir -p "$root/docs"
        cp "$tmp/zip-window.png" "$root/docs/screenshot-windows.png"
        echo "  saved $root/docs/screenshot-windows.png"
    fi
fi
close_viewer
status=0
wait_for_exit 30 "$viewer" || status=timeout
[ "$status" = timeout ] || wait "$viewer" || status=$?
check "a close message ends it (exit status $status)" test "$status" = 0
check "the snapshot is removed" test ! -e "$(snapshot_of "$demo")"
sha_list "$demo" >"$tmp/demo-after.sha256"
check "the demo folder is as before (sha256 of every file)" same_file "$tmp/demo-before.sha256" "$tmp/demo-after.sha256"
check "the console shows no error line" no_error_lines "$console"
if [ -s "$console" ]; then
    echo "  the viewer's console:"
    sed 's/^/    | /' "$console"
else
    echo "  the viewer's console stayed empty (no error, no message)"
fi
WINEPREFIX=$tmp/prefix-zip wineserver -k 2>/dev/null || true
times+=("(b) the zip under Wine: $(seconds_since "$t") s")

# --- (c) The installer ---------------------------------------------------------

t=$EPOCHREALTIME
echo "(c) The installer, silently under Wine: $installer"
prefix=$tmp/prefix-setup
new_prefix "$prefix"
echo "  new prefix: $(seconds_since "$t") s"
drive_c=$prefix/drive_c
instdir=$drive_c/Program\ Files/Tabulon
shortcut=$drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Tabulon.lnk
shortcut_win='C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Tabulon.lnk'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tabulon'
# A folder name in Chinese with a space in it, as a line's may be.
data_win='C:\产线数据\line 3'
data=$drive_c/产线数据/line\ 3
bash "$root/scripts/make-demo.sh" "$data" >/dev/null
sha_list "$data" >"$tmp/data-before.sha256"
reg_query() { "${zh[@]}" wine reg query "$@" 2>/dev/null | from_gbk | tr -d '\r'; }
has_key() { "${zh[@]}" wine reg query "$1" >/dev/null 2>&1; }
no_key() { ! has_key "$1"; }
data_unchanged()
{
    sha_list "$data" >"$tmp/data-now.sha256"
    same_file "$tmp/data-before.sha256" "$tmp/data-now.sha256"
}
# The installed files are the zip's files, byte for byte, and the uninstaller.
same_as_zip()
{
    diff <(cd "$pkg" && find . -type f -print0 | sort -z | xargs -0 sha256sum; echo "uninstaller ./Uninstall.exe") \
        <(cd "$instdir" && find . -type f ! -name Uninstall.exe -print0 | sort -z | xargs -0 sha256sum
            [ -f Uninstall.exe ] && echo "uninstaller ./Uninstall.exe")
}

t_step=$EPOCHREALTIME
status=0
timeout 120 "${zh[@]}" wine "$installer" /S "/DATA=$data_win" >"$tmp/setup.log" 2>&1 || status=$?
echo "  setup.exe /S \"/DATA=$data_win\": exit status $status, $(seconds_since "$t_step") s"
check "the installer succeeds" test "$status" = 0
check "it installs into C:\\Program Files\\Tabulon exactly the zip's files, and Uninstall.exe" same_as_zip
check "the Start-menu shortcut exists (all users)" test -f "$shortcut"
check "the uninstaller is registered (Add/Remove Programs)" has_key "$uninstall_key"
reg_query "$uninstall_key" | sed -n 's/^ \+/    /p'
check "the data folder is untouched by installing" data_unchanged

t_step=$EPOCHREALTIME
# Wine's start opens the shortcut as Explorer would, and does not wait
# for what it starts.
timeout 60 "${zh[@]}" wine start "$shortcut_win" >"$tmp/shortcut.log" 2>&1 || true
window=$(wait_for_window 60 || true)
check "the shortcut starts the viewer: its window appears (after $(seconds_since "$t_step") s)" test -n "$window"
check "its snapshot appears in the data folder, its working directory" test -f "$(snapshot_of "$data")"
pid=$(process_of "$instdir/Tabulon.exe" || true)
check "it is the installed viewer, with every DLL loaded from the install folder" \
    loads_exactly "$pid" "$instdir" Uninstall.exe
if [ -n "$window" ] && [ -f "$tmp/zip-window.png" ]; then
    sleep 2
    import -window "$window" "$tmp/setup-window.png"
    # The same demo as in (b): the same grid, but for a pixel here or there.
    differ=$(compare -metric AE -fuzz 10% "$tmp/zip-window.png" "$tmp/setup-window.png" null: 2>&1 || true)
    pixels=$(identify -format '%[fx:w*h]' "$tmp/zip-window.png")
    echo "  its window differs from the zip's run in $differ of $pixels pixels"
    check "it shows the demo database as the zip's run did" \
        awk -v d="$differ" -v n="$pixels" 'BEGIN { exit !(d ~ /^[0-9.e+]+$/ && d <= n / 100) }'
fi
close_viewer
check "a close message ends it" wait_for_exit 30 "${pid:-0}"
check "the snapshot is removed" test ! -e "$(snapshot_of "$data")"
check "the data folder is as before" data_unchanged

t_step=$EPOCHREALTIME
status=0
timeout 120 "${zh[@]}" wine "$instdir/Uninstall.exe" /S >"$tmp/uninstall.log" 2>&1 || status=$?
# The uninstaller runs on from a copy of itself in the temporary folder:
# done when the prefix's last program has ended.
timeout 120 wineserver -w || true
echo "  Uninstall.exe /S: exit status $status, $(seconds_since "$t_step") s"
check "the uninstaller succeeds" test "$status" = 0
check "the install folder is gone" test ! -e "$instdir"
check "the shortcut is gone" test ! -e "$shortcut"
check "the uninstaller's registration is gone" no_key "$uninstall_key"
check "the installer's settings are gone" no_key 'HKLM\Software\Tabulon'
check "the data folder is byte-identical to before (sha256 of every file)" data_unchanged

# A data folder that does not exist yet stays uncreated, and an operator's
# own file in the install folder outlives the uninstaller.
missing_win='C:\nowhere\line 9'
status=0
timeout 120 "${zh[@]}" wine "$installer" /S "/DATA=$missing_win" >>"$tmp/setup.log" 2>&1 || status=$?
check "installing with a data folder that does not exist succeeds" test "$status" = 0
check "that folder is not created" test ! -e "$drive_c/nowhere"
check "the shortcut starts in it" grep -qF "$missing_win" <(strings -el "$shortcut" 2>/dev/null)
echo "  the shortcut's texts: $(strings -el "$shortcut" 2>/dev/null | paste -sd '|')"
mkdir -p "$instdir/config"
echo "; the operator's own" >"$instdir/config/operator.ini"
timeout 120 "${zh[@]}" wine "$instdir/Uninstall.exe" /S >>"$tmp/uninstall.log" 2>&1 || true
timeout 120 wineserver -w || true
left=$( (cd "$instdir" 2>/dev/null && find . -mindepth 1 | sort | paste -sd ' ') || true)
check "uninstalling leaves the operator's file and its folders, and nothing else (left: ${left:-nothing})" \
    test "$left" = "./config ./config/operator.ini"
check "that folder is still not created" test ! -e "$drive_c/nowhere"
times+=("(c) the installer under Wine: $(seconds_since "$t") s")

echo "What Wine cannot show:"
cat <<'EOF'
  - Windows 7 itself: Wine reports itself as Windows 7 SP1 but has its own DLLs, which export
    functions Windows 7 lacks; that is why (a) reads the imports by name instead.
  - The real fonts: a Chinese Windows draws with Tahoma and SimSun / Microsoft YaHei; here Wine's
    Tahoma and WenQuanYi Micro Hei stand in, so glyphs and metrics differ slightly.
  - The console window: under Wine the viewer's output goes to a file here; how conhost shows it,
    and its place beside the main window, are not seen.
  - Permissions: Wine runs everything as an administrator and enforces no NTFS rights, so neither
    the installer's UAC prompt nor an operator without write access to sqlDatabase\ is tried.
  - The Windows shell: the shortcut is started by Wine's "start", not by Explorer; the Control
    Panel's list of programs is seen only as its registry entry; visual styles are off in Wine,
    so the Vista style plugin loads but draws the classic look.
EOF

echo "Time per part:"
printf '  %s\n' "${times[@]}"
echo "  all: $(seconds_since "$start") s"
if [ ${#failed[@]} -gt 0 ]; then
    echo "Windows package check FAILED (${#failed[@]}):" >&2
    printf '  %s\n' "${failed[@]}" >&2
    exit 1
fi
echo "Windows package check passed"
