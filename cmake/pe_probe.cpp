// A user-mode DLL that imports from kernel32: the image check must refuse it.
#include <windows.h>
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return GetTickCount() != 0; }
