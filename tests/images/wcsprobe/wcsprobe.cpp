// A driver that reports what the kernel's wide-character routines answer
// for it, so a test can tell 16-bit from 32-bit counting.
#include <wdm.h>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    UNREFERENCED_PARAMETER(driverObject);
    UNREFERENCED_PARAMETER(registryPath);

    static const WCHAR kHardwareId[] = L"PCI\\VEN_7A3E&DEV_0010";
    const WCHAR *device = wcsstr(kHardwareId, L"DEV_");
    WCHAR name[16];
    wcscpy(name, L"port_");
    wcscat(name, L"3");
    _wcsupr(name);

    DbgPrint("len=%d dev_at=%d upper=%ws same=%d\n", (int)wcslen(kHardwareId),
             device == NULL ? -1 : (int)(device - kHardwareId), name, _wcsicmp(name, L"Port_3") == 0);
    return wcslen(L"MULTIPORT") == 9 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
