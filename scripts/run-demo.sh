#!/usr/bin/env bash
# Builds the viewer and starts it on a demo working directory (demo-run/),
# made from demo/ the first time. Arguments go to the viewer (Qt options).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"
bash "$root/scripts/make-demo.sh" "$root/demo-run"
cd "$root/demo-run"
exec "$root/build/Tabulon" "$@"
