/*
 * mpsinst - installs and inspects the driver package through SetupAPI, the
 * way a device installation program does on Windows.
 *
 *   mpsinst install INF HWID     create a root-enumerated device with the
 *                                hardware ID and install INF's driver on it
 *   mpsinst remove HWID          remove every root-enumerated device that
 *                                carries the hardware ID
 *   mpsinst ids INF DECORATION   list the hardware IDs of INF's models for a
 *                                platform decoration (NTamd64; "" for the
 *                                undecorated x86 models)
 *   mpsinst resolve INF HWID...  for each ID, the driver SetupAPI picks from
 *                                INF: its function service and upper filters
 *   mpsinst device HWID          the installed device's Service and
 *                                UpperFilters registry properties
 *   mpsinst service NAME         a service's type, start type and binary
 *
 * Every line it prints starts with the command's word, so that a caller can
 * tell its answers from anything else on the console. Exit status 0 on
 * success, 1 when a step fails (with a "mpsinst: error" line naming it).
 */
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <cfgmgr32.h>
#include <stdio.h>
#include <wchar.h>

#define MULTI_MAX 1024
#define CLASS_NAME_MAX 32 /* MAX_CLASS_NAME_LEN */

static int Fail(const wchar_t *step)
{
    fwprintf(stderr, L"mpsinst: error: %ls failed (error 0x%08lx)\n", step, GetLastError());
    return 1;
}

/* The full path, as SetupAPI wants it for an INF outside the INF directory. */
static BOOL FullPath(const wchar_t *path, wchar_t *full, DWORD size)
{
    DWORD length = GetFullPathNameW(path, size, full, NULL);
    return length != 0 && length < size;
}

/* Hardware IDs are a multi-string: the ID, its terminator and one more NUL. */
static DWORD MultiFromOne(const wchar_t *id, wchar_t *multi)
{
    size_t length = wcslen(id);
    if (length + 2 > MULTI_MAX) return 0;
    wmemcpy(multi, id, length + 1);
    multi[length + 1] = L'\0';
    return (DWORD)((length + 2) * sizeof(wchar_t));
}

static BOOL MultiContains(const wchar_t *multi, const wchar_t *id)
{
    for (const wchar_t *s = multi; *s; s += wcslen(s) + 1)
        if (_wcsicmp(s, id) == 0) return TRUE;
    return FALSE;
}

/* Prints a multi-string property as items separated by commas; "-" when the
   device has none. */
static void PrintMulti(const wchar_t *label, const wchar_t *multi, BOOL present)
{
    wprintf(L" %ls=", label);
    if (!present || !*multi) {
        wprintf(L"-");
        return;
    }
    for (const wchar_t *s = multi; *s; s += wcslen(s) + 1) wprintf(s == multi ? L"%ls" : L",%ls", s);
}

static int Install(const wchar_t *inf, const wchar_t *hardwareId)
{
    wchar_t infPath[MAX_PATH], className[CLASS_NAME_MAX], ids[MULTI_MAX], instance[MAX_DEVICE_ID_LEN];
    GUID classGuid;
    int result = 1;

    if (!FullPath(inf, infPath, MAX_PATH)) return Fail(L"GetFullPathName");
    if (!SetupDiGetINFClassW(infPath, &classGuid, className, CLASS_NAME_MAX, NULL))
        return Fail(L"SetupDiGetINFClass");
    DWORD idsSize = MultiFromOne(hardwareId, ids);
    if (idsSize == 0) return Fail(L"hardware ID length");

    HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, NULL);
    if (set == INVALID_HANDLE_VALUE) return Fail(L"SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA device = {sizeof(device)};
    BOOL reboot = FALSE;
    /* A board that is not Plug and Play (ISA) is a device of the root
       enumerator: ROOT\<class>\NNNN, named after the INF's class. */
    if (!SetupDiCreateDeviceInfoW(set, className, &classGuid, NULL, NULL, DICD_GENERATE_ID, &device))
        Fail(L"SetupDiCreateDeviceInfo");
    else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, (const BYTE *)ids, idsSize))
        Fail(L"SetupDiSetDeviceRegistryProperty(SPDRP_HARDWAREID)");
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device))
        Fail(L"DIF_REGISTERDEVICE");
    else if (!SetupDiGetDeviceInstanceIdW(set, &device, instance, MAX_DEVICE_ID_LEN, NULL))
        Fail(L"SetupDiGetDeviceInstanceId");
    else if (!UpdateDriverForPlugAndPlayDevicesW(NULL, hardwareId, infPath, INSTALLFLAG_FORCE, &reboot)) {
        Fail(L"UpdateDriverForPlugAndPlayDevices");
        /* No half-installed device stays behind. */
        SetupDiCallClassInstaller(DIF_REMOVE, set, &device);
    } else {
        wprintf(L"install %ls %ls\n", instance, hardwareId);
        result = 0;
    }
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

/* Calls |action| for every present root-enumerated device carrying the ID;
   returns how many there were, or -1 when the device list cannot be had. */
static int ForEachRootDevice(const wchar_t *hardwareId, BOOL (*action)(HDEVINFO, SP_DEVINFO_DATA *, const wchar_t *))
{
    HDEVINFO set = SetupDiGetClassDevsW(NULL, L"ROOT", NULL, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return -1;
    int count = 0;
    SP_DEVINFO_DATA device = {sizeof(device)};
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        wchar_t ids[MULTI_MAX] = {0}, instance[MAX_DEVICE_ID_LEN];
        if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, NULL, (BYTE *)ids,
                                               sizeof(ids) - 2 * sizeof(wchar_t), NULL))
            continue;
        if (!MultiContains(ids, hardwareId)) continue;
        if (!SetupDiGetDeviceInstanceIdW(set, &device, instance, MAX_DEVICE_ID_LEN, NULL)) continue;
        if (!action(set, &device, instance)) {
            count = -1;
            break;
        }
        ++count;
    }
    SetupDiDestroyDeviceInfoList(set);
    return count;
}

static BOOL RemoveOne(HDEVINFO set, SP_DEVINFO_DATA *device, const wchar_t *instance)
{
    if (!SetupDiCallClassInstaller(DIF_REMOVE, set, device)) {
        Fail(L"DIF_REMOVE");
        return FALSE;
    }
    wprintf(L"remove %ls\n", instance);
    return TRUE;
}

/* UpperFilters as the INF's .HW section left it: in the device's hardware
   key, the key its HKR names. */
static BOOL HardwareKeyFilters(HDEVINFO set, SP_DEVINFO_DATA *device, wchar_t *filters, DWORD size)
{
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return FALSE;
    DWORD type = 0;
    LONG status = RegQueryValueExW(key, L"UpperFilters", NULL, &type, (BYTE *)filters, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_MULTI_SZ;
}

static BOOL ShowOne(HDEVINFO set, SP_DEVINFO_DATA *device, const wchar_t *instance)
{
    wchar_t service[MAX_PATH] = {0}, filters[MULTI_MAX] = {0}, hwFilters[MULTI_MAX] = {0};
    BOOL hasService = SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_SERVICE, NULL, (BYTE *)service,
                                                        sizeof(service) - sizeof(wchar_t), NULL);
    BOOL hasFilters = SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_UPPERFILTERS, NULL, (BYTE *)filters,
                                                        sizeof(filters) - 2 * sizeof(wchar_t), NULL);
    BOOL hasHwFilters = HardwareKeyFilters(set, device, hwFilters, sizeof(hwFilters) - 2 * sizeof(wchar_t));
    wprintf(L"device %ls service=%ls", instance, hasService && *service ? service : L"-");
    PrintMulti(L"upperfilters", filters, hasFilters);
    PrintMulti(L"hardwarekey.upperfilters", hwFilters, hasHwFilters);
    wprintf(L"\n");
    return TRUE;
}

/* How the service control manager would start a service: its type, start
   type and binary. */
static int Service(const wchar_t *name)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (!manager) return Fail(L"OpenSCManager");
    int result = 1;
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_CONFIG);
    union {
        QUERY_SERVICE_CONFIGW config;
        BYTE bytes[8192];
    } buffer;
    DWORD needed = 0;
    if (!service)
        Fail(L"OpenService");
    else if (!QueryServiceConfigW(service, &buffer.config, sizeof(buffer), &needed))
        Fail(L"QueryServiceConfig");
    else {
        wprintf(L"service %ls type=%lu start=%lu binary=%ls\n", name, buffer.config.dwServiceType,
                buffer.config.dwStartType, buffer.config.lpBinaryPathName ? buffer.config.lpBinaryPathName : L"-");
        result = 0;
    }
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}

/* Runs |action| on the root-enumerated devices with the ID; there must be
   at least one. */
static int OnRootDevices(const wchar_t *hardwareId, BOOL (*action)(HDEVINFO, SP_DEVINFO_DATA *, const wchar_t *))
{
    int count = ForEachRootDevice(hardwareId, action);
    if (count < 0) return Fail(L"going through the root-enumerated devices");
    if (count == 0) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return Fail(L"finding a root-enumerated device with the hardware ID");
    }
    return 0;
}

/* The models section for a platform decoration: the Manufacturer line names
   its base and the decorations it comes in (NTamd64 also matches a
   versioned NTamd64.6.1). An empty decoration asks for the undecorated
   base, the x86 models that Windows 2000 reads. */
static BOOL ModelsSectionFor(INFCONTEXT *line, const wchar_t *wanted, wchar_t *section, DWORD size)
{
    wchar_t base[LINE_LEN], decoration[LINE_LEN];
    if (!SetupGetStringFieldW(line, 1, base, LINE_LEN, NULL)) return FALSE;
    DWORD fields = SetupGetFieldCount(line);
    if (fields < 2 || *wanted == L'\0') {
        _snwprintf(section, size, L"%ls", base);
        return TRUE;
    }
    for (DWORD f = 2; f <= fields; ++f) {
        if (!SetupGetStringFieldW(line, f, decoration, LINE_LEN, NULL)) continue;
        if (_wcsnicmp(decoration, wanted, wcslen(wanted)) == 0 || _wcsicmp(decoration, L"NT") == 0) {
            _snwprintf(section, size, L"%ls.%ls", base, decoration);
            return TRUE;
        }
    }
    return FALSE;
}

static int Ids(const wchar_t *inf, const wchar_t *decoration)
{
    wchar_t infPath[MAX_PATH];
    if (!FullPath(inf, infPath, MAX_PATH)) return Fail(L"GetFullPathName");
    HINF handle = SetupOpenInfFileW(infPath, NULL, INF_STYLE_WIN4, NULL);
    if (handle == INVALID_HANDLE_VALUE) return Fail(L"SetupOpenInfFile");
    INFCONTEXT manufacturer;
    BOOL more = SetupFindFirstLineW(handle, L"Manufacturer", NULL, &manufacturer);
    for (; more; more = SetupFindNextLine(&manufacturer, &manufacturer)) {
        wchar_t section[LINE_LEN];
        if (!ModelsSectionFor(&manufacturer, decoration, section, LINE_LEN)) continue;
        INFCONTEXT model;
        BOOL line = SetupFindFirstLineW(handle, section, NULL, &model);
        for (; line; line = SetupFindNextLine(&model, &model)) {
            wchar_t install[LINE_LEN], id[LINE_LEN];
            if (!SetupGetStringFieldW(&model, 1, install, LINE_LEN, NULL)) continue;
            /* Field 2 is the hardware ID, any further ones compatible IDs. */
            for (DWORD f = 2; f <= SetupGetFieldCount(&model); ++f)
                if (SetupGetStringFieldW(&model, f, id, LINE_LEN, NULL) && *id)
                    wprintf(L"ids %ls %ls %ls\n", id, section, install);
        }
    }
    SetupCloseInfFile(handle);
    return 0;
}

/* The service that the install section's .Services section associates with
   the device (SPSVCINST_ASSOCSERVICE), and the UpperFilters value its .HW
   section writes, read from the INF the way SetupAPI reads it. */
static void PrintBinding(HINF handle, const wchar_t *installSection)
{
    wchar_t section[LINE_LEN], service[LINE_LEN] = L"-", filters[MULTI_MAX] = {0};
    INFCONTEXT line;
    _snwprintf(section, LINE_LEN, L"%ls.Services", installSection);
    BOOL more = SetupFindFirstLineW(handle, section, L"AddService", &line);
    for (; more; more = SetupFindNextMatchLineW(&line, L"AddService", &line)) {
        INT flags = 0;
        wchar_t name[LINE_LEN];
        if (SetupGetStringFieldW(&line, 1, name, LINE_LEN, NULL) && SetupGetIntField(&line, 2, &flags) &&
            (flags & SPSVCINST_ASSOCSERVICE))
            wcscpy(service, name);
    }
    BOOL hasFilters = FALSE;
    _snwprintf(section, LINE_LEN, L"%ls.HW", installSection);
    INFCONTEXT hw;
    wchar_t addReg[LINE_LEN];
    if (SetupFindFirstLineW(handle, section, L"AddReg", &hw) && SetupGetStringFieldW(&hw, 1, addReg, LINE_LEN, NULL)) {
        more = SetupFindFirstLineW(handle, addReg, NULL, &line);
        for (; more; more = SetupFindNextLine(&line, &line)) {
            wchar_t root[16], value[LINE_LEN];
            if (SetupGetStringFieldW(&line, 1, root, 16, NULL) && _wcsicmp(root, L"HKR") == 0 &&
                SetupGetStringFieldW(&line, 3, value, LINE_LEN, NULL) && _wcsicmp(value, L"UpperFilters") == 0)
                hasFilters = SetupGetMultiSzFieldW(&line, 5, filters, MULTI_MAX - 1, NULL);
        }
    }
    wprintf(L" service=%ls", service);
    PrintMulti(L"upperfilters", filters, hasFilters);
}

/* Asks SetupAPI which driver of INF it would install on a device with the
   hardware ID, as it does for a newly found device. */
static int ResolveOne(const wchar_t *infPath, HINF handle, const GUID *classGuid, const wchar_t *hardwareId)
{
    wchar_t ids[MULTI_MAX];
    DWORD idsSize = MultiFromOne(hardwareId, ids);
    if (idsSize == 0) return Fail(L"hardware ID length");
    HDEVINFO set = SetupDiCreateDeviceInfoList(classGuid, NULL);
    if (set == INVALID_HANDLE_VALUE) return Fail(L"SetupDiCreateDeviceInfoList");
    int result = 1;
    SP_DEVINFO_DATA device = {sizeof(device)};
    SP_DEVINSTALL_PARAMS_W params = {sizeof(params)};
    SP_DRVINFO_DATA_W driver = {sizeof(driver)};
    SP_DRVINFO_DETAIL_DATA_W detail = {sizeof(detail)};
    wchar_t installSection[LINE_LEN];
    /* A device that is only described, never registered: nothing of it
       reaches the registry. */
    if (!SetupDiCreateDeviceInfoW(set, L"MPSINST", classGuid, NULL, NULL, DICD_GENERATE_ID, &device))
        Fail(L"SetupDiCreateDeviceInfo");
    else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, (const BYTE *)ids, idsSize))
        Fail(L"SetupDiSetDeviceRegistryProperty(SPDRP_HARDWAREID)");
    else if (!SetupDiGetDeviceInstallParamsW(set, &device, &params))
        Fail(L"SetupDiGetDeviceInstallParams");
    else {
        params.Flags |= DI_ENUMSINGLEINF;
        wcsncpy(params.DriverPath, infPath, MAX_PATH - 1);
        if (!SetupDiSetDeviceInstallParamsW(set, &device, &params))
            Fail(L"SetupDiSetDeviceInstallParams");
        else if (!SetupDiBuildDriverInfoList(set, &device, SPDIT_COMPATDRIVER))
            Fail(L"SetupDiBuildDriverInfoList");
        else if (!SetupDiEnumDriverInfoW(set, &device, SPDIT_COMPATDRIVER, 0, &driver)) {
            wprintf(L"resolve %ls none\n", hardwareId);
            result = 0;
        } else if (!SetupDiGetDriverInfoDetailW(set, &device, &driver, &detail, sizeof(detail), NULL) &&
                   GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            Fail(L"SetupDiGetDriverInfoDetail");
        else if (!SetupDiGetActualSectionToInstallW(handle, detail.SectionName, installSection, LINE_LEN, NULL,
                                                    NULL))
            Fail(L"SetupDiGetActualSectionToInstall");
        else {
            wprintf(L"resolve %ls section=%ls", hardwareId, installSection);
            PrintBinding(handle, installSection);
            wprintf(L"\n");
            result = 0;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

static int Resolve(const wchar_t *inf, int count, wchar_t **hardwareIds)
{
    wchar_t infPath[MAX_PATH];
    wchar_t className[CLASS_NAME_MAX];
    GUID classGuid;
    if (!FullPath(inf, infPath, MAX_PATH)) return Fail(L"GetFullPathName");
    if (!SetupDiGetINFClassW(infPath, &classGuid, className, CLASS_NAME_MAX, NULL))
        return Fail(L"SetupDiGetINFClass");
    HINF handle = SetupOpenInfFileW(infPath, NULL, INF_STYLE_WIN4, NULL);
    if (handle == INVALID_HANDLE_VALUE) return Fail(L"SetupOpenInfFile");
    int result = 0;
    for (int i = 0; i < count && result == 0; ++i) result = ResolveOne(infPath, handle, &classGuid, hardwareIds[i]);
    SetupCloseInfFile(handle);
    return result;
}

static int Usage(void)
{
    fwprintf(stderr, L"usage: mpsinst install INF HWID | remove HWID | ids INF DECORATION | resolve INF HWID... | "
                     L"device HWID | service NAME\n");
    return 2;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3) return Usage();
    const wchar_t *command = argv[1];
    if (wcscmp(command, L"install") == 0 && argc == 4) return Install(argv[2], argv[3]);
    if (wcscmp(command, L"remove") == 0 && argc == 3) return OnRootDevices(argv[2], RemoveOne);
    if (wcscmp(command, L"ids") == 0 && argc == 4) return Ids(argv[2], argv[3]);
    if (wcscmp(command, L"resolve") == 0 && argc >= 4) return Resolve(argv[2], argc - 3, argv + 3);
    if (wcscmp(command, L"device") == 0 && argc == 3) return OnRootDevices(argv[2], ShowOne);
    if (wcscmp(command, L"service") == 0 && argc == 3) return Service(argv[2]);
    return Usage();
}
