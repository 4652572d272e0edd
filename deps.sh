#!/usr/bin/env bash
# Installs with apt-get, when they are missing, what building namepatch needs
# (CMake, g++ and libattr, which copies a replaced file's extended attributes)
# and the packages named as arguments. Used by the README's set-up command
# and by test.sh.
set -euo pipefail
packages=(cmake g++ libattr1-dev "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
