#!/usr/bin/env bash
# The driver package and the Windows images of both architectures on Wine
# (see README.md, "The Wine check"). Installs Wine when missing and runs the
# check in fresh prefixes under build/wine-check: x64 on 64-bit Wine always,
# x86 on 32-bit Wine where the kernel runs i386 programs.
#
#   scripts/wine-check.sh [--x86 DIR] [--x64 DIR] [--package DIR] [--workdir DIR] [-- extra options]
#
# --x86 defaults to build/windows, --x64 to build/windows-x64 (each holding
# that architecture's signed images and mpsinst.exe), --package to package/.
set -euo pipefail
cd "$(dirname "$0")/.."

x86=build/windows
x64=build/windows-x64
package=package
workdir=build/wine-check
while [ $# -gt 0 ]; do
    case "$1" in
        --x86) x86=$2; shift 2 ;;
        --x64) x64=$2; shift 2 ;;
        --package) package=$2; shift 2 ;;
        --workdir) workdir=$2; shift 2 ;;
        --) shift; break ;;
        *) echo "usage: $0 [--x86 DIR] [--x64 DIR] [--package DIR] [--workdir DIR] [-- options]" >&2; exit 2 ;;
    esac
done

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# 64-bit Wine runs the x64 images and needs nothing 32-bit. 32-bit Wine
# cannot start where the kernel runs no i386 programs (not under qemu-i386
# either), and i386 packages are not added to such a machine.
packages=(wine wine64)
x86_not_run=()
if [ "$(cat build/i386-mode 2>/dev/null)" = emulated ]; then
    x86_not_run=(--x86-not-run "32-bit Wine does not start on this kernel (it runs no i386 programs; see build/i386-mode); the x86 images had only the image check of their build")
else
    packages+=(wine32:i386)
fi
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -ne 0 ]; then
    echo "wine-check: installing ${missing[*]}"
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    export DEBIAN_FRONTEND=noninteractive
    if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo dpkg --add-architecture i386
    fi
    $sudo apt-get update -q
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

exec python3 scripts/wine_check/main.py --x86 "$x86" --x64 "$x64" --package "$package" --workdir "$workdir" \
    "${x86_not_run[@]}" "$@"
