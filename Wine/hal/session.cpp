// The session directory and the HAL's append-only output files.
#include "session.hpp"

#include <windows.h>

#include <mutex>

#include "kernel/debug/faults.hpp"

namespace kwohal {

namespace {

std::mutex gLock;

std::filesystem::path ReadSessionDirectory()
{
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"KWOTARV_WINE_SESSION", buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return {};
    return std::filesystem::path(std::wstring(buffer, length));
}

// Opens for appending on every write, so that the launcher may read, truncate or copy the file
// between commands.
void Append(const wchar_t* name, const std::string& text)
{
    const std::filesystem::path& dir = SessionDirectory();
    if (dir.empty())
        return;
    std::lock_guard guard(gLock);
    HANDLE file = CreateFileW((dir / name).c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

} // namespace

const std::filesystem::path& SessionDirectory()
{
    static const std::filesystem::path dir = ReadSessionDirectory();
    return dir;
}

void Log(const std::string& line)
{
    Append(L"hal.log", line + "\n");
}

void Debug(const std::string& text)
{
    Append(L"debug.txt", text);
}

void Fault(const std::string& what)
{
    Append(L"faults.txt", what + "\n");
    Log("fault: " + what);
}

void FlushModelFaults()
{
    const std::vector<std::string> faults = sim::faults::All();
    if (faults.empty())
        return;
    sim::faults::Clear();
    for (const auto& fault : faults)
        Fault(fault);
}

} // namespace kwohal
