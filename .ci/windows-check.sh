#!/usr/bin/env bash
# Windows check, run on Debian: every C++ source under app/, db/, platform/, tests/ and
# bench/ is compiled for Windows (mingw-w64, x86_64, C++17, syntax only)
# against Debian's Qt 5 headers, and the console layer's Windows step
# (platform/consoleWindow.cpp, free of Qt) is built and tested under Wine in a
# Chinese locale (.ci/windows/console_test.cpp). The viewer ships to Windows
# but is built and tested on Linux only; this catches POSIX-only code before
# it reaches a Windows build. Installs what is missing; non-zero on any
# failure.
#
#   bash .ci/windows-check.sh                every source, then the Wine test
#   bash .ci/windows-check.sh FILE.cpp ...   only these sources, no Wine
#   WINDOWS_CHECK_WINE=0 bash .ci/windows-check.sh     every source, no Wine
#
# Sources named *_unix.cpp or *_posix.cpp are the POSIX halves of a platform
# interface, which a Windows build does not compile; they are skipped (and
# named) when every source is checked.
#
# What it cannot see: Qt's Windows libraries are not here, so nothing is
# linked or run against Qt, and the Qt features are those of Debian's build
# (see qt_platform.cpp). Of MSVC it checks only the POSIX headers that MSVC
# lacks and mingw-w64 has; MSVC's own dialect is not compiled.
set -euo pipefail
# CI runs this without standard input; tools that read or reopen it (gzip
# under localedef, apt) then fail, so it is always empty.
exec </dev/null
caller=$PWD
cd "$(dirname "$0")/.."
root=$PWD
start=$EPOCHREALTIME

seconds_since() { LC_ALL=C awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }

sources=()
for f in "$@"; do
    [[ $f = /* ]] || f=$caller/$f
    case $f in
    *.cpp) [ -f "$f" ] || { echo "no such file: $f" >&2; exit 2; } ;;
    *) echo "only .cpp files can be checked: $f" >&2; exit 2 ;;
    esac
    sources+=("$(readlink -f "$f")")
done
all=0
[ ${#sources[@]} -gt 0 ] || all=1
wine=${WINDOWS_CHECK_WINE:-$all}

# The posix variant of the cross compiler: its libstdc++ has std::thread and
# std::mutex, which the tests use and the win32 variant of GCC 12 lacks.
cxx=x86_64-w64-mingw32-g++-posix
qt=/usr/include/x86_64-linux-gnu/qt5
moc=/usr/lib/qt5/bin/moc

packages=(g++-mingw-w64-x86-64-posix qtbase5-dev qtbase5-dev-tools libsqlite3-dev libmimalloc-dev)
[ "$wine" = 0 ] || packages+=(wine wine64 locales bsdutils)
bash "$root/scripts/install-missing.sh" "${packages[@]}"

tmp=$(mktemp -d)
# Wine's prefix and its server's socket folder (made under TMPDIR) stay in
# this temporary folder.
wineprefix=$tmp/wine/prefix
winetmp=$tmp/wine/tmp
cleanup()
{
    # Ends the Wine server of this prefix and every program it runs.
    if [ -d "$wineprefix" ]; then
        WINEPREFIX=$wineprefix TMPDIR=$winetmp wineserver -k 2>/dev/null || true
        WINEPREFIX=$wineprefix TMPDIR=$winetmp wineserver -w 2>/dev/null || true
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT

# --- Compiler setup ----------------------------------------------------------

# Headers that mingw-w64 has but MSVC does not (Microsoft's C runtime has none
# of them): a source including one compiles with mingw and fails with MSVC.
# Each gets a pass-through header of the same name searched first, without
# include guard so that -H lists every inclusion; an inclusion made directly
# by a project file is an error. The system headers' own uses are fine.
msvc_lacks=(unistd.h dirent.h pthread.h sched.h semaphore.h strings.h libgen.h getopt.h ftw.h utime.h
    sys/time.h sys/param.h sys/file.h sys/unistd.h)
mkdir -p "$tmp/lacks" "$tmp/lib" "$tmp/moc" "$tmp/log"
for h in "${msvc_lacks[@]}"; do
    mkdir -p "$(dirname "$tmp/lacks/$h")"
    printf '#include_next <%s>\n' "$h" >"$tmp/lacks/$h"
done
# sqlite3.h and mimalloc.h are the same on every platform, but /usr/include
# as a whole cannot be searched: it would offer glibc's POSIX headers to a
# Windows compile and hide exactly what this check is for.
ln -s /usr/include/sqlite3.h /usr/include/sqlite3ext.h /usr/include/mimalloc*.h "$tmp/lib/"

# Qt's headers need nothing overridden: Q_OS_WIN comes from the compiler's
# _WIN32 (qsystemdetection.h), and the Linux-only settings in Debian's
# qconfig.h are read only on Linux: QT_VISIBILITY_AVAILABLE after a Q_OS_WIN
# branch, QT_REDUCE_RELOCATIONS only with __ELF__. qt_platform.cpp fails if
# that ever changes. The definitions are those the CMake targets give a
# Release build; the Qt and library headers are system headers, as CMake
# passes them, so that only the project's own warnings show.
defines=(-DQT_CORE_LIB -DQT_GUI_LIB -DQT_WIDGETS_LIB -DQT_TESTLIB_LIB -DQT_NO_DEBUG -DQT_MESSAGELOGCONTEXT)
qt_dirs=("$qt" "$qt/QtCore" "$qt/QtGui" "$qt/QtWidgets" "$qt/QtTest")
flags=(-std=c++17 -fsyntax-only -Wall -Wextra -H "${defines[@]}" -I"$root/app" -I"$root/db" -I"$root/platform" -I"$tmp/moc"
    -isystem "$tmp/lacks")
for d in "${qt_dirs[@]}" "$tmp/lib"; do flags+=(-isystem "$d"); done

# moc output, as AUTOMOC makes it: moc sees the compiler's predefined macros
# (so Q_OS_WIN) and the same definitions and include folders.
"$cxx" -std=c++17 -dM -E -x c++ /dev/null >"$tmp/moc/moc_predefs.h"
mocflags=(--include "$tmp/moc/moc_predefs.h" "${defines[@]}" -I"$root/app" -I"$root/db" -I"$root/platform")
for d in "${qt_dirs[@]}"; do mocflags+=(-I"$d"); done

units=()    # files to compile, absolute paths
expected=() # per unit: ok, or fail for the probe that must be reported
mocfail=()  # moc errors, one message each

run_moc() # input output
{
    if ! "$moc" "${mocflags[@]}" -o "$2" "$1" 2>"$2.err"; then
        mocfail+=("moc $1: $(cat "$2.err")")
        return 1
    fi
}

if [ "$all" = 1 ]; then
    while IFS= read -r f; do
        case $f in
        *_unix.cpp | *_posix.cpp) echo "skipped (POSIX half): ${f#"$root"/}" ;;
        *) sources+=("$f") ;;
        esac
    done < <(find "$root/app" "$root/db" "$root/platform" "$root/tests" "$root/bench" -name '*.cpp' | sort)
fi
for f in "${sources[@]}"; do
    units+=("$f")
    expected+=(ok)
    # "#include "name.moc"" is the moc output of the file itself.
    while IFS= read -r m; do
        run_moc "$f" "$tmp/moc/$m" || true
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"/]*\.moc\)".*/\1/p' "$f")
done
if [ "$all" = 1 ]; then
    # Headers with Q_OBJECT: their moc output in one file, as AUTOMOC's
    # mocs_compilation.cpp.
    : >"$tmp/moc/mocs_compilation.cpp"
    while IFS= read -r h; do
        out=$tmp/moc/moc_$(basename "$h" .h).cpp
        run_moc "$h" "$out" && echo "#include \"$(basename "$out")\"" >>"$tmp/moc/mocs_compilation.cpp"
    done < <(find "$root/app" "$root/db" "$root/platform" "$root/tests" "$root/bench" -name '*.h' \
        -exec grep -lE '\bQ_(OBJECT|GADGET|NAMESPACE)\b' {} + | sort)
    [ ! -s "$tmp/moc/mocs_compilation.cpp" ] || {
        units+=("$tmp/moc/mocs_compilation.cpp")
        expected+=(ok)
    }
fi
# The check's own probes: the Windows side of Qt's headers, and an include
# that must be caught.
units+=("$root/.ci/windows/qt_platform.cpp" "$root/.ci/windows/msvc_lacks.cpp")
expected+=(ok fail)

# --- Compiling ----------------------------------------------------------------

compile() # index
{
    local src=${units[$1]} log=$tmp/log/$1 extra=()
    # The end-to-end test names the executables CMake built.
    case $src in "$root"/tests/*) extra=(-DTABULON_EXE='"C:/Tabulon/build/Tabulon.exe"'
        -DCONSOLE_PROBE_EXE='"C:/Tabulon/build/tests/consoleProbe.exe"') ;; esac
    local status=0
    "$cxx" "${flags[@]}" "${extra[@]}" "$src" >"$log.out" 2>&1 || status=$?
    echo "$status" >"$log.status"
    # -H prints one line per opened header, its depth in dots; the includer
    # of a header is the last one listed a level up.
    awk -v root="$root/" -v lacks="$tmp/lacks/" -v src="$src" '
        BEGIN { parent[0] = src }
        /^\.+ / {
            depth = index($0, " ") - 1
            path = substr($0, depth + 2)
            parent[depth] = path
            includer = parent[depth - 1]
            if (index(path, lacks) == 1 && index(includer, root) == 1 && index(includer, lacks) != 1)
                printf "%s: includes <%s>, which MSVC does not have (only mingw-w64 does)\n", includer, substr(path, length(lacks) + 1)
        }' "$log.out" | sort -u >"$log.lacks"
    # The compiler's own messages, without the header tree and the list of
    # headers lacking include guards that -H adds.
    awk '/^\.+ / { next }
        /^Multiple include guards may be useful for:$/ { guards = 1; next }
        guards && /^\/[^:]*$/ { next }
        { guards = 0; print }' "$log.out" >"$log.msg"
}

t=$EPOCHREALTIME
running=0
for i in "${!units[@]}"; do
    compile "$i" &
    if ((++running >= 2)); then
        wait -n || true
        running=$((running - 1))
    fi
done
wait

failed=()
broken=()
for i in "${!units[@]}"; do
    src=${units[$i]}
    name=${src#"$root"/}
    name=${name#"$tmp"/moc/}
    log=$tmp/log/$i
    result=ok
    if [ "$(cat "$log.status")" != 0 ] || [ -s "$log.lacks" ]; then result=fail; fi
    if [ "${expected[$i]}" = fail ]; then
        # The probe that must be caught: if it is not, the check is broken.
        if [ "$result" = fail ] && [ -s "$log.lacks" ]; then
            echo "ok (caught as it must be): $name"
        else
            echo "NOT CAUGHT: $name includes <unistd.h> and passed" >&2
            broken+=("$name")
        fi
        continue
    fi
    if [ "$result" = fail ]; then
        echo "FAILED: $name"
        failed+=("$name")
    elif [ -s "$log.msg" ]; then
        echo "ok, with warnings: $name"
    else
        echo "ok: $name"
    fi
    sed 's/^/    /' "$log.lacks" "$log.msg"
done
for m in "${mocfail[@]}"; do
    echo "FAILED: $m" | sed '2,$s/^/    /'
    failed+=("moc")
done
echo "Compiled ${#units[@]} files for Windows in $(seconds_since "$t") s"

# --- Wine: the console layer on Windows -----------------------------------------

wine_failed=()
wine_check() # description, then a command that must succeed
{
    local what=$1
    shift
    if "$@"; then
        echo "  ok: $what"
    else
        echo "  FAILED: $what"
        wine_failed+=("$what")
    fi
}
has_line() { grep -qxF -- "$2" "$1"; }
returned() { has_line "$1" "stdout=$2" && has_line "$1" "stderr=$3"; }
# What reached a terminal, without its escape sequences and carriage returns.
terminal_text() { sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\r//g' "$1"; }
# The line written with WriteFile is there, without the text it was given.
garbled()
{
    local line
    line=$(grep -o 'WriteFile: .*' "$1") && [[ $line != *"$2"* ]]
}

if [ "$wine" != 0 ]; then
    echo "Wine: platform/consoleWindow.cpp on Windows ($(wine --version 2>/dev/null))"
    run=$tmp/wine/run
    mkdir -p "$run" "$tmp/wine/locale" "$winetmp"
    # The layer as the application links it, without Qt.
    "$cxx" -std=c++17 -O1 -Wall -Wextra -static -I"$root/platform" -o "$run/console_test.exe" \
        "$root/.ci/windows/console_test.cpp" "$root/platform/consoleWindow.cpp" ||
        wine_failed+=("building console_test.exe")
    # The operators' Chinese Windows: Wine takes its code pages (936) from
    # the locale, which needs the C library's locale data.
    localedef -i zh_CN -f UTF-8 "$tmp/wine/locale/zh_CN.UTF-8"
    # set -e does not hold in a subshell followed by ||: each step says so.
    [ ${#wine_failed[@]} -gt 0 ] || (
        export WINEPREFIX=$wineprefix TMPDIR=$winetmp WINEDEBUG=-all
        # No .NET or browser engine: Wine would offer to install them.
        export WINEDLLOVERRIDES="mscoree,mshtml="
        unset DISPLAY WAYLAND_DISPLAY
        # The locale for Wine only: this shell has no such locale data.
        zh=(env LOCPATH="$tmp/wine/locale" LC_ALL=zh_CN.UTF-8)
        exe=(timeout 120 "${zh[@]}" wine ./console_test.exe)
        cd "$run"
        t=$EPOCHREALTIME
        # Only 64-bit Wine is installed; its complaint about the missing
        # 32-bit rundll32.exe is expected.
        timeout 300 "${zh[@]}" wineboot --init </dev/null >wineboot.log 2>&1 || exit
        echo "  first start (new prefix): $(seconds_since "$t") s"
        t=$EPOCHREALTIME
        "${exe[@]}" </dev/null >file-out.bin 2>file-err.bin || exit
        mv report.txt report-file.txt || exit
        { "${exe[@]}" </dev/null | cat >pipe-out.bin; } 2>&1 | cat >pipe-err.bin || exit
        mv report.txt report-pipe.txt || exit
        # script gives the program a pseudo-terminal, on which Wine makes a
        # console without any display.
        on_terminal() { timeout 120 script -qec "$(printf '%q ' "${zh[@]}") wine ./console_test.exe $1" /dev/null; }
        on_terminal writefile </dev/null >console-tty.bin 2>&1 || exit
        mv report.txt report-console.txt || exit
        # Standard error alone on the console: each stream is asked about
        # its own handle.
        on_terminal '>mixed-out.bin' </dev/null >mixed-tty.bin 2>&1 || exit
        mv report.txt report-mixed.txt || exit
        wineserver -k
        echo "  four runs: $(seconds_since "$t") s"
    ) || wine_failed+=("running console_test.exe under Wine")
    if [ ${#wine_failed[@]} -eq 0 ]; then
        cd "$run"
        line1='无法打开数据库 unable to open database filepath:'
        line2='SQL error: no such table: 二〇二四'
        # std::cout and std::cerr write in text mode on Windows: each "\n"
        # arrives as "\r\n", the rest as the UTF-8 bytes printf writes here.
        printf '%s\r\n%s\r\n' "$line1" "$line2" >expected.bin
        printf '%s\n%s\n' "$line1" "$line2" >expected-mixed.txt
        printf '%s\n%s\n%s\n%s\n' "$line1" "$line1" "$line2" "$line2" >expected-console.txt
        for f in console mixed; do terminal_text $f-tty.bin >$f-tty.txt; done
        wine_check "the Chinese locale's code page is in force (ACP 936)" has_line report-file.txt ACP=936
        for to in file pipe; do
            echo " both streams to a $to: $(grep '^std' report-$to.txt | paste -sd ' ')"
            wine_check "(1) writeToConsoleWindow returns false for both streams" \
                returned report-$to.txt "false false" "false false"
            wine_check "(1) standard output gets exactly the UTF-8 text (\\n as \\r\\n)" cmp -s $to-out.bin expected.bin
            wine_check "(1) standard error gets exactly the UTF-8 text (\\n as \\r\\n)" cmp -s $to-err.bin expected.bin
        done
        echo "  standard output's bytes (file):"
        od -An -c file-out.bin | sed 's/^/   /'
        echo " both streams on the console: $(grep -v '^ACP' report-console.txt | paste -sd ' ')"
        echo "  terminal showed:"
        sed 's/^/   /' console-tty.txt
        wine_check "(2) writeToConsoleWindow returns true for both streams" \
            returned report-console.txt "true true" "true true"
        wine_check "(2) the terminal shows every line right, in order" \
            cmp -s <(grep -v '^WriteFile: ' console-tty.txt) expected-console.txt
        wine_check "(2) the console's code page is 936" has_line report-console.txt ConsoleOutputCP=936
        wine_check "(2) so the same UTF-8 bytes through WriteFile come out garbled" \
            garbled console-tty.txt "${line1%% *}"
        echo " standard output to a file, standard error on the console: $(grep '^std' report-mixed.txt | paste -sd ' ')"
        wine_check "each stream is asked about its own handle" returned report-mixed.txt "false false" "true true"
        wine_check "standard output gets exactly the UTF-8 text" cmp -s mixed-out.bin expected.bin
        wine_check "the terminal shows standard error's lines right" cmp -s mixed-tty.txt expected-mixed.txt
        echo " Not shown under Wine: how a real console window (conhost, Windows Terminal) draws the text."
        echo " Wine's console passes its UTF-16 text to the pseudo-terminal as UTF-8: the check sees which"
        echo " characters the console holds, not the glyphs Windows would draw for them."
        cd "$root"
    fi
    [ ${#wine_failed[@]} -eq 0 ] || failed+=("Wine: ${wine_failed[*]}")
fi

echo "Windows check: $(seconds_since "$start") s"
if [ ${#broken[@]} -gt 0 ]; then
    echo "The check itself is broken: it did not catch ${broken[*]}" >&2
    exit 1
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo "Windows check failed: ${failed[*]}" >&2
    exit 1
fi
echo "Windows check passed"
