// Atomic replacement of a file through a temporary one beside it.
#include "serve/atomic_file.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "cli/exit_status.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kwotarv {

namespace {

std::atomic<unsigned> gCounter{0};

// A name the textfile collector ignores (it reads only *.prom), unique per process and call.
std::filesystem::path TemporaryBeside(const std::filesystem::path& file)
{
#if defined(_WIN32)
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
    std::filesystem::path name = "." + file.filename().string() + "." + std::to_string(pid) + "." +
                                 std::to_string(gCounter++) + ".tmp";
    return file.parent_path() / name;
}

[[noreturn]] void Fail(const std::filesystem::path& file, const std::string& what)
{
    throw ToolError("cannot write '" + file.string() + "': " + what, kExitFailure);
}

[[noreturn]] void Refuse(const std::filesystem::path& file, const std::string& why)
{
    throw ToolError("--output '" + file.string() + "': " + why, kExitUsage);
}

} // namespace

void CheckReplaceableFile(const std::filesystem::path& file)
{
    namespace fs = std::filesystem;
    std::error_code error;
    if (!file.empty() && fs::is_directory(file, error))
        Refuse(file, "is a folder; give a file name in it");
    if (file.filename().empty())
        Refuse(file, "give a file name");
    const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
    if (!fs::exists(folder, error))
        Refuse(file, "the folder '" + folder.string() + "' does not exist; create it first");
    if (!fs::is_directory(folder, error))
        Refuse(file, "'" + folder.string() + "' is not a folder");
    // Whether a file can be created beside it, the way each replacement does.
    const fs::path probe = TemporaryBeside(file);
    if (!std::ofstream(probe, std::ios::binary))
        Refuse(file, "no file can be created in the folder '" + folder.string() + "'");
    fs::remove(probe, error);
}

void WriteFileAtomically(const std::filesystem::path& file, std::string_view text)
{
    if (file.filename().empty())
        Fail(file, "not a file name");
    const std::filesystem::path temporary = TemporaryBeside(file);
#if defined(_WIN32)
    HANDLE h = CreateFileW(temporary.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        Fail(file, "cannot create a temporary file beside it (error " +
                       std::to_string(GetLastError()) + ")");
    DWORD written = 0;
    const bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size() && FlushFileBuffers(h);
    const DWORD error = GetLastError();
    CloseHandle(h);
    if (!ok) {
        DeleteFileW(temporary.wstring().c_str());
        Fail(file, "write failed (error " + std::to_string(error) + ")");
    }
    if (!MoveFileExW(temporary.wstring().c_str(), file.wstring().c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD moveError = GetLastError();
        DeleteFileW(temporary.wstring().c_str());
        Fail(file, "cannot replace it (error " + std::to_string(moveError) + ")");
    }
#else
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        Fail(file,
             std::string("cannot create a temporary file beside it: ") + std::strerror(errno));
    // The file replaced keeps its permissions.
    struct stat old {};
    if (stat(file.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        fchmod(fd, old.st_mode & 07777);
    size_t done = 0;
    bool ok = true;
    while (ok && done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<size_t>(n);
    }
    const int error = errno;
    ok = ok && fsync(fd) == 0;
    if (close(fd) != 0)
        ok = false;
    if (!ok) {
        unlink(temporary.c_str());
        Fail(file, std::string("write failed: ") + std::strerror(error));
    }
    if (std::rename(temporary.c_str(), file.c_str()) != 0) {
        const int renameError = errno;
        unlink(temporary.c_str());
        Fail(file, std::string("cannot replace it: ") + std::strerror(renameError));
    }
#endif
}

} // namespace kwotarv
