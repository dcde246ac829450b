#!/usr/bin/env bash
# Makes docs/screenshot.png: the viewer on the demo database, as the operator
# sees it at start, captured under a virtual X server.
# Builds into build/ through setup.sh; TABULON_BUILD_DIR names another,
# already configured build directory instead (the tools must be installed).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${TABULON_BUILD_DIR:-$root/build}
output="$root/docs/screenshot.png"

if [ "$build" = "$root/build" ]; then
    bash "$root/scripts/setup.sh" xvfb xauth imagemagick xdotool
else
    for tool in xvfb-run import xdotool sqlite3; do
        command -v "$tool" >/dev/null || { echo "missing $tool: run without TABULON_BUILD_DIR" >&2; exit 1; }
    done
    cmake --build "$build" -j 2 --target Tabulon
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bash "$root/scripts/make-demo.sh" "$work/demo" >/dev/null
mkdir -p "$root/docs"

# Runs inside the virtual display: start the viewer, wait until its window
# is mapped and painted, grab just that window, then ask the viewer to quit.
capture='
set -euo pipefail
cd "$1"
"$2" >"$4/console.txt" 2>&1 &
viewer=$!
window=$(timeout 30 xdotool search --sync --onlyvisible --name "^Tabulon$" | head -n 1)
sleep 2
import -window "$window" "$3"
kill -TERM "$viewer"
wait "$viewer"
'
xvfb-run -a -s "-screen 0 640x480x24" \
    bash -c "$capture" capture "$work/demo" "$build/Tabulon" "$output" "$work"

# The viewer deletes its snapshot only on a clean quit.
if [ -e "$work/demo/sqlDatabase/QOR-database-temp.db" ]; then
    echo "the viewer left its snapshot behind" >&2
    exit 1
fi
echo "Wrote $output"
