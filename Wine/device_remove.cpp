// kwotarv-remove.exe [device|service]: removes the device ROOT\KWOTARV\0000 through SetupAPI
// (the driver gets IRP_MN_REMOVE_DEVICE) and stops the KwoTarv service (the driver's unload
// routine runs and the image is unloaded); "device" or "service" does only that step. Exit
// status 0 when every step asked for succeeded.
#include <windows.h>

#include <setupapi.h>

#include <cstdio>

namespace {

constexpr wchar_t kInstanceId[] = L"ROOT\\KWOTARV\\0000";
constexpr wchar_t kService[] = L"KwoTarv";
constexpr int kStopWaitSteps = 100; // of 50 ms

bool RemoveDevice()
{
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"ROOT", nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "kwotarv-remove: SetupDiGetClassDevs failed: error %lu\n",
                     GetLastError());
        return false;
    }
    bool removed = false;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        wchar_t id[256];
        if (!SetupDiGetDeviceInstanceIdW(set, &device, id, 256, nullptr) ||
            _wcsicmp(id, kInstanceId) != 0)
            continue;
        if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &device))
            std::fprintf(stderr, "kwotarv-remove: DIF_REMOVE failed: error %lu\n", GetLastError());
        else
            removed = true;
    }
    SetupDiDestroyDeviceInfoList(set);
    if (!removed)
        std::fprintf(stderr, "kwotarv-remove: the device %ls was not removed\n", kInstanceId);
    return removed;
}

bool StopService()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager ? OpenServiceW(manager, kService, SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr;
    bool stopped = false;
    if (service == nullptr) {
        std::fprintf(stderr, "kwotarv-remove: cannot open the service: error %lu\n",
                     GetLastError());
    } else {
        SERVICE_STATUS state{};
        if (!ControlService(service, SERVICE_CONTROL_STOP, &state) &&
            GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
            std::fprintf(stderr, "kwotarv-remove: stopping the service failed: error %lu\n",
                         GetLastError());
        for (int i = 0; i < kStopWaitSteps && QueryServiceStatus(service, &state); ++i) {
            if (state.dwCurrentState == SERVICE_STOPPED) {
                stopped = true;
                break;
            }
            Sleep(50);
        }
        if (!stopped)
            std::fprintf(stderr, "kwotarv-remove: the service did not stop (state %lu)\n",
                         state.dwCurrentState);
        CloseServiceHandle(service);
    }
    if (manager != nullptr)
        CloseServiceHandle(manager);
    return stopped;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* step = argc > 1 ? argv[1] : L"";
    const bool device = *step == 0 || _wcsicmp(step, L"device") == 0;
    const bool service = *step == 0 || _wcsicmp(step, L"service") == 0;
    if (argc > 2 || (!device && !service)) {
        std::fprintf(stderr, "usage: kwotarv-remove.exe [device|service]\n");
        return 2;
    }
    const bool removed = !device || RemoveDevice();
    const bool stopped = !service || StopService();
    return removed && stopped ? 0 : 1;
}
