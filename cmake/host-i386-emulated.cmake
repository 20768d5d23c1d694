# The x86 host build on a machine whose kernel runs no i386 programs: the
# same -m32 build, but every host executable that the build or ctest runs
# (test discovery, the tests) goes through Debian's user-mode emulator. The
# Makefile passes this file when scripts/bootstrap.sh found the kernel
# unable to run them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
find_program(MPS_QEMU_I386 qemu-i386 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${MPS_QEMU_I386})
