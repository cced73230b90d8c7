// kwotarv-install.exe DIR: installs the driver as a user does on Windows, through SetupAPI:
// creates the root-enumerated device ROOT\KWOTARV\0000 with hardware ID Root\KwoTarv, registers
// it, and installs DIR\kwotarv.inf on it (the INF copies kwotarv.sys and adds the service; the
// PnP manager then loads the driver and starts the device). Exit status 0 on success.
#include <windows.h>

#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <string>

namespace {

// {4D36E97D-E325-11CE-BFC1-08002BE10318}, the System class of the INF.
constexpr GUID kSystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr wchar_t kInstanceId[] = L"ROOT\\KWOTARV\\0000";
constexpr wchar_t kHardwareIds[] = L"Root\\KwoTarv\0"; // REG_MULTI_SZ

int Fail(const char* step)
{
    std::fprintf(stderr, "kwotarv-install: %s failed: error %lu\n", step, GetLastError());
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kwotarv-install.exe DIR (the folder holding kwotarv.inf)\n");
        return 2;
    }
    wchar_t inf[MAX_PATH];
    const std::wstring relative = std::wstring(argv[1]) + L"\\kwotarv.inf";
    if (GetFullPathNameW(relative.c_str(), MAX_PATH, inf, nullptr) == 0)
        return Fail("GetFullPathName");

    HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return Fail("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    int status = 0;
    if (!SetupDiCreateDeviceInfoW(set, kInstanceId, &kSystemClass, L"KwoTarv hardware monitor",
                                  nullptr, 0, &device))
        status = Fail("SetupDiCreateDeviceInfo");
    else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE*>(kHardwareIds),
                                                sizeof(kHardwareIds)))
        status = Fail("SetupDiSetDeviceRegistryProperty");
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device))
        status = Fail("DIF_REGISTERDEVICE");
    SetupDiDestroyDeviceInfoList(set);
    if (status != 0)
        return status;

    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, L"Root\\KwoTarv", inf, INSTALLFLAG_FORCE,
                                            &reboot))
        return Fail("UpdateDriverForPlugAndPlayDevices");
    return 0;
}
