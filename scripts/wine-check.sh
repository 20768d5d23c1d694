#!/usr/bin/env bash
# The driver package and the Windows images on Wine (see README.md, "The Wine
# check"). Installs Wine when missing, builds the installer program, runs the
# check in a fresh prefix under build/wine-check.
#
#   scripts/wine-check.sh [--images DIR] [--package DIR] [-- extra options]
#
# --images defaults to build/windows, --package to package/.
set -euo pipefail
cd "$(dirname "$0")/.."

images=build/windows
package=package
workdir=build/wine-check
while [ $# -gt 0 ]; do
    case "$1" in
        --images) images=$2; shift 2 ;;
        --package) package=$2; shift 2 ;;
        --workdir) workdir=$2; shift 2 ;;
        --) shift; break ;;
        *) echo "usage: $0 [--images DIR] [--package DIR] [--workdir DIR] [-- options]" >&2; exit 2 ;;
    esac
done

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# 32-bit Wine: the images are x86 drivers, run in a 32-bit prefix. It cannot
# start where the kernel runs no i386 programs (not under qemu-i386 either),
# and i386 packages are not added to such a machine.
if [ "$(cat build/i386-mode 2>/dev/null)" = emulated ]; then
    (cd "$images" && ctest --output-on-failure)
    echo "wine-check: NOT RUN: the x86 images need 32-bit Wine, which does not start on this kernel" \
         "(it runs no i386 programs; see build/i386-mode); only the image checks above covered them"
    exit 0
fi
if ! installed wine || ! installed wine32:i386; then
    echo "wine-check: installing wine and wine32:i386"
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    export DEBIAN_FRONTEND=noninteractive
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo dpkg --add-architecture i386
    fi
    $sudo apt-get update -q
    $sudo apt-get install -y -q --no-install-recommends wine wine32:i386
fi

mkdir -p "$workdir"
i686-w64-mingw32-gcc -std=c11 -O2 -Wall -Wextra -Wno-missing-field-initializers -Werror -municode \
    -o "$workdir/mpsinst.exe" tools/mpsinst/mpsinst.c -lsetupapi -lnewdev -ladvapi32

exec python3 scripts/wine_check/main.py --images "$images" --package "$package" \
    --mpsinst "$workdir/mpsinst.exe" --workdir "$workdir" "$@"
