// Linked into each host executable of the sanitizer builds where i386
// programs run under qemu-i386. LeakSanitizer stops the world at exit with a
// clone() that the emulator refuses, and spins waiting for it; qemu-i386's
// -E cannot turn it off, because the sanitizer runtime reads its options
// from /proc/self/environ before the program starts. The host kernel's own
// pool records still report every block a driver leaves behind, and
// ASAN_OPTIONS still overrides this.
extern "C" const char *__asan_default_options() { return "detect_leaks=0"; }
