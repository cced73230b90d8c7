// Boots SeaBIOS under qemu and saves the F-segment through the human monitor on stdin.
#include "qemu_dump.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

namespace kwo::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kSegmentSize = 0x10000;

std::string ShellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

// A private scratch directory, removed with everything in it when the object goes.
class ScratchDirectory {
  public:
    ScratchDirectory()
    {
        std::string pattern = (fs::temp_directory_path() / "kwotarv-qemu-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
    }
    ~ScratchDirectory()
    {
        std::error_code ignored;
        if (!path_.empty())
            fs::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const fs::path& Path() const { return path_; }

  private:
    fs::path path_;
};

// The emulator with its monitor on a pipe; quit and reaped when the object goes.
class Emulator {
  public:
    explicit Emulator(const std::string& command)
    {
        // An emulator that refused its options closes the pipe; writing to it must not kill
        // the test.
        std::signal(SIGPIPE, SIG_IGN);
        pipe_ = popen(command.c_str(), "w");
    }
    ~Emulator()
    {
        if (pipe_ != nullptr) {
            Send("quit");
            pclose(pipe_);
        }
    }
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    bool Running() const { return pipe_ != nullptr; }
    void Send(const std::string& line)
    {
        std::fputs((line + "\n").c_str(), pipe_);
        std::fflush(pipe_);
    }

  private:
    FILE* pipe_ = nullptr;
};

std::vector<uint8_t> ReadWhole(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool HoldsSmbiosEntry(const std::vector<uint8_t>& image)
{
    static const std::string anchor = "_SM_";
    return std::search(image.begin(), image.end(), anchor.begin(), anchor.end()) != image.end();
}

} // namespace

std::optional<fs::path> FindQemu()
{
    const char* path = std::getenv("PATH");
    std::string directories = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= directories.size()) {
        const size_t end = std::min(directories.find(':', start), directories.size());
        const fs::path candidate =
            fs::path(directories.substr(start, end - start)) / "qemu-system-x86_64";
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

QemuDump DumpFirmwareSegment(const fs::path& qemu, const std::vector<std::string>& options,
                             int timeoutSeconds)
{
    QemuDump result;
    ScratchDirectory scratch;
    if (scratch.Path().empty()) {
        result.error = "cannot make a scratch directory";
        return result;
    }

    // TCG keeps the run the same on every machine; no disk, network, display or serial port.
    std::string command = "timeout " + std::to_string(timeoutSeconds + 5) + " " +
                          ShellQuote(qemu.string()) +
                          " -machine pc,accel=tcg -m 32 -smp 1 -nodefaults -display none"
                          " -serial none -parallel none -net none -no-reboot -monitor stdio";
    for (const auto& option : options)
        command += " " + ShellQuote(option);
    const fs::path log = scratch.Path() / "qemu.log";
    command += " >" + ShellQuote(log.string()) + " 2>&1";

    Emulator emulator(command);
    if (!emulator.Running()) {
        result.error = "cannot start: " + command;
        return result;
    }

    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    std::vector<uint8_t> previous;
    for (int attempt = 0; Clock::now() < deadline; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const fs::path dump = scratch.Path() / ("segment" + std::to_string(attempt) + ".bin");
        emulator.Send("pmemsave 0xf0000 65536 \"" + dump.string() + "\"");

        // pmemsave writes the file while the monitor handles the line.
        std::error_code ec;
        while (Clock::now() < deadline && fs::file_size(dump, ec) != kSegmentSize)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::vector<uint8_t> image = ReadWhole(dump);
        if (image.size() != kSegmentSize)
            continue;
        if (HoldsSmbiosEntry(image) && image == previous) {
            result.image = std::move(image);
            return result;
        }
        previous = std::move(image);
    }
    result.error = "no settled firmware image within " + std::to_string(timeoutSeconds) +
                   " s; emulator output:\n" + [&] {
                       auto bytes = ReadWhole(log);
                       return std::string(bytes.begin(), bytes.end());
                   }();
    return result;
}

} // namespace kwo::test
