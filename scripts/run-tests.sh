#!/usr/bin/env bash
# Builds everything and runs the whole test suite; exits non-zero on failure.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"
cd "$root/build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure
