#!/usr/bin/env bash
# Installs those of the Debian packages named that are not installed yet
# (through sudo when not run as root), and says which and how long it took.
#
#   bash scripts/install-missing.sh PACKAGE...
set -euo pipefail
exec </dev/null
missing=()
for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0
start=$SECONDS
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
echo "Installed ${missing[*]} in $((SECONDS - start)) s"
