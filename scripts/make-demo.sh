#!/usr/bin/env bash
# Lays out a working directory as the viewer expects it, unless it exists:
# sqlDatabase/QOR-database.db and config/Tabulon.ini.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
target=${1:?usage: make-demo.sh DIR}
[ -e "$target/sqlDatabase/QOR-database.db" ] && exit 0
mkdir -p "$target/sqlDatabase" "$target/config"
sqlite3 "$target/sqlDatabase/QOR-database.db" < "$root/demo/demo.sql"
cp "$root/demo/Tabulon.ini" "$target/config/Tabulon.ini"
echo "Demo working directory: $target"
