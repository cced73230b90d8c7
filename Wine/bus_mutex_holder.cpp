// kwotarv-busholder.exe: stands for another monitoring tool that takes the ISA-bus mutex
// Global\Access_ISABUS.HTP.Method, for the tests of kwotarv.exe under Wine.
//   hold MS      takes it, holds it MS milliseconds, releases it
//   forever      takes it and never lets go
//   abandon MS   takes it on a thread that ends holding it, then keeps the mutex open MS ms
// It prints "holding at trace byte N" once the mutex is held (abandoned: once its thread has
// ended) and "released at trace byte N" after the release, N being the size of the port trace
// beside the program (C:\kwotarv\ports.trace) then: equal sizes mean no port was touched.
// The mutex is made as kwotarv.exe makes it (Tools/kwotarv/backends/windows_bus_mutex.cpp).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "backends/windows_bus_mutex.hpp"

namespace {

long long TraceBytes()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring trace(path, length);
    trace = trace.substr(0, trace.find_last_of(L'\\') + 1) + L"ports.trace";
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(trace.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void Say(const char* what)
{
    std::printf("%s at trace byte %lld\n", what, TraceBytes());
    std::fflush(stdout);
}

DWORD WINAPI TakeAndEnd(void* mutex)
{
    WaitForSingleObject(static_cast<HANDLE>(mutex), INFINITE);
    return 0; // ends holding it: the mutex is abandoned
}

int Usage()
{
    std::fprintf(stderr, "usage: kwotarv-busholder hold MS | forever | abandon MS\n");
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return Usage();
    const std::wstring mode = argv[1];
    const DWORD ms = argc > 2 ? static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)) : 0;
    HANDLE mutex = kwotarv::CreateIsaBusMutexHandle();
    if (mutex == nullptr) {
        std::fprintf(stderr, "kwotarv-busholder: cannot create the mutex: error %lu\n",
                     GetLastError());
        return 1;
    }
    if (mode == L"abandon" && argc == 3) {
        HANDLE thread = CreateThread(nullptr, 0, TakeAndEnd, mutex, 0, nullptr);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        Say("holding");
        Sleep(ms);
        return 0;
    }
    if (!((mode == L"hold" && argc == 3) || (mode == L"forever" && argc == 2)))
        return Usage();
    WaitForSingleObject(mutex, INFINITE);
    Say("holding");
    if (mode == L"forever")
        Sleep(INFINITE);
    Sleep(ms);
    const long long before = TraceBytes();
    ReleaseMutex(mutex);
    std::printf("released at trace byte %lld\n", before);
    std::fflush(stdout);
    return 0;
}
