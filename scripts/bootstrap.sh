#!/usr/bin/env bash
# Finds out whether this kernel runs i386 programs itself, then installs the
# Debian packages that the builds need, when missing; clang and its runtime
# (with the i386 libFuzzer) build the fuzz targets, and clang's static
# analyzer checks the driver sources in make test; openssl and osslsigncode
# make the test certificate and sign the Windows images.
#
# The answer goes to build/i386-mode, read by the Makefile: "native", or
# "emulated" when the kernel refuses i386 executables (a kernel built or
# booted without 32-bit emulation) or hands them to an emulator registered
# with binfmt_misc. Emulated, every 32-bit host program runs under Debian's
# qemu-i386, given to CMake by cmake/host-i386-emulated.cmake; qemu-user is
# installed without its recommended qemu-user-binfmt, which would register
# handlers system-wide. MPS_I386=emulated forces the emulated set-up on a
# machine that runs i386 natively, to try it there.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build

# The smallest i386 executable that says something: exit(42) through int 0x80,
# one loadable segment at 0x08048000, no libraries, nothing to compile.
tiny_i386_program() {
    local header='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
    header+='\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
    header+='\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'
    local segment='\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
    segment+='\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
    local code='\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80'
    printf "$header$segment$code" > "$1"
    chmod +x "$1"
}

# An enabled binfmt_misc handler for i386 ELF files: the kernel would run the
# program through an emulator, not itself.
i386_binfmt_handler() {
    local dir=/proc/sys/fs/binfmt_misc entry
    [ -r "$dir/status" ] && grep -qx enabled "$dir/status" || return 1
    for entry in "$dir"/*; do
        case "$(basename "$entry")" in register|status) continue ;; esac
        [ -r "$entry" ] || continue
        grep -qx enabled "$entry" && grep -q '^magic 7f454c4601010100000000000000000002000300' "$entry" &&
            { basename "$entry"; return 0; }
    done
    return 1
}

probe=build/.i386-probe
tiny_i386_program "$probe"
native_status=0
"./$probe" >/dev/null 2>build/.i386-probe.err || native_status=$?
i386_reason=""
if handler=$(i386_binfmt_handler); then
    i386_reason="i386 executables go to the binfmt_misc handler \"$handler\", an emulator"
elif [ "$native_status" != 42 ]; then
    i386_reason="the kernel does not run i386 executables ($(tail -n 1 build/.i386-probe.err | sed 's/.*: //'))"
elif [ "${MPS_I386:-}" = emulated ]; then
    i386_reason="MPS_I386=emulated asks for it"
fi

packages=(
    cmake ninja-build make g++ g++-multilib python3
    g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
    g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
    googletest nlohmann-json3-dev
    clang-14 libclang-rt-14-dev
    osslsigncode openssl
)
if [ -n "$i386_reason" ]; then
    packages+=(qemu-user)
    echo emulated > build/i386-mode.new
else
    echo native > build/i386-mode.new
fi
# A changed answer changes the host builds' toolchain, which CMake takes
# only when it configures a tree afresh.
if ! cmp -s build/i386-mode.new build/i386-mode 2>/dev/null; then
    for tree in build/host32; do
        rm -rf "$tree/CMakeCache.txt" "$tree"/CMakeFiles/[0-9]*
    done
    mv build/i386-mode.new build/i386-mode
else
    rm build/i386-mode.new
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
    echo "bootstrap: installing ${missing[*]}"
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    export DEBIAN_FRONTEND=noninteractive
    # A mirror in the middle of a sync can fail one index; the install says
    # whether the lists at hand still hold what is missing.
    $sudo apt-get update -q || echo "bootstrap: apt-get update failed; installing from the package lists at hand"
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if [ -n "$i386_reason" ]; then
    # The emulator must run what the kernel would not.
    status=0
    qemu-i386 "$probe" || status=$?
    if [ "$status" != 42 ]; then
        echo "bootstrap: qemu-i386 does not run an i386 program either (exit status $status)" >&2
        exit 1
    fi
    echo "bootstrap: 32-bit host programs run under qemu-i386: $i386_reason"
fi
rm -f "$probe" build/.i386-probe.err
