// A kernel image linked with the toolchain's defaults for a DLL (symbols,
// unwind tables, an export table, 4 KB file alignment): the image check must
// refuse its layout.
extern "C" __declspec(dllimport) unsigned long __cdecl DbgPrint(const char *format, ...);
extern "C" long __stdcall DriverEntry(void *, void *) { return DbgPrint("probe\n") ? 0 : 1; }
