#!/usr/bin/env bash
# The driver package and the Windows images of both architectures on Wine
# (see README.md, "The Wine check"). Installs Wine when missing and runs the
# check in fresh prefixes under build/wine-check: x64 on 64-bit Wine always,
# x86 on 32-bit Wine where the kernel runs i386 programs.
#
#   scripts/wine-check.sh [--package DIR] [--workdir DIR] [-- extra options]
#
# --package is the staged package, build/package (make package) unless told:
# the INF files, and each architecture's signed images and mpsinst.exe in its
# folder (x86, amd64).
set -euo pipefail
cd "$(dirname "$0")/.."

package=build/package
workdir=build/wine-check
while [ $# -gt 0 ]; do
    case "$1" in
        --package) package=$2; shift 2 ;;
        --workdir) workdir=$2; shift 2 ;;
        --) shift; break ;;
        *) echo "usage: $0 [--package DIR] [--workdir DIR] [-- options]" >&2; exit 2 ;;
    esac
done

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# 64-bit Wine runs the x64 images and needs nothing 32-bit. 32-bit Wine
# cannot start where the kernel runs no i386 programs (not under qemu-i386
# either), and i386 packages are not added to such a machine.
x86_not_run=()
if [ "$(cat build/i386-mode 2>/dev/null)" = emulated ]; then
    x86_not_run=(--x86-not-run "32-bit Wine does not start on this kernel (it runs no i386 programs; see build/i386-mode); the x86 images had only the image check of their build")
fi
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
lists_updated=""
install_missing() {
    local missing=() p
    for p in "$@"; do installed "$p" || missing+=("$p"); done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "wine-check: installing ${missing[*]}"
    if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo dpkg --add-architecture i386
        lists_updated=""
    fi
    # A mirror in the middle of a sync can fail one index; the lists there
    # are may still hold what is missing, and the install says if not.
    if [ -z "$lists_updated" ]; then
        $sudo apt-get update -q || echo "wine-check: apt-get update failed; installing from the package lists at hand"
        lists_updated=yes
    fi
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}
install_missing wine wine64
# 32-bit Wine's i386 libraries must be the very versions of the amd64 ones
# installed: while the mirror lacks them, the x86 run cannot be had here.
if [ ${#x86_not_run[@]} -eq 0 ] && ! install_missing wine32:i386; then
    x86_not_run=(--x86-not-run "32-bit Wine (wine32:i386) could not be installed from this machine's package sources (see apt's message above); the x86 images had only the image check of their build")
fi

exec python3 scripts/wine_check/main.py --package "$package" --workdir "$workdir" \
    "${x86_not_run[@]}" "$@"
