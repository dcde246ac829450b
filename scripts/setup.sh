#!/usr/bin/env bash
# Installs what the project needs on Debian (when missing) and builds it in
# Release into build/. Sourced by the other scripts; safe to run again.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(build-essential cmake qtbase5-dev libsqlite3-dev sqlite3 fonts-wqy-microhei libmimalloc-dev "$@")
bash "$root/scripts/install-missing.sh" "${packages[@]}"

cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$root/build" -j 2
