#!/usr/bin/env bash
# Installs the Debian packages that the two builds need, when missing; clang
# and its runtime (with the i386 libFuzzer) build the fuzz targets.
set -euo pipefail

packages=(
    cmake ninja-build make g++ g++-multilib python3
    g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
    googletest nlohmann-json3-dev
    clang-14 libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "bootstrap: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
