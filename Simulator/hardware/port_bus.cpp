// The I/O port bus: decoding, open-bus reads, tracing.
#include "hardware/port_bus.hpp"
#include "kernel/rtl/text.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <ostream>
#include <stdexcept>

#include "kernel/debug/faults.hpp"

using sim::text::Hex;

namespace sim::hw {

namespace {

constexpr uint8_t kOpenBus = 0xFF;

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

std::optional<unsigned> ParseHex(std::string_view word, unsigned limit)
{
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X'))
        word.remove_prefix(2);
    else
        return std::nullopt;
    unsigned value = 0;
    auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, 16);
    if (error != std::errc() || end != word.data() + word.size() || value > limit)
        return std::nullopt;
    return value;
}

} // namespace

std::string FormatAccess(const PortAccess& access)
{
    return std::string(access.IsRead() ? "R " : "W ") + Hex(access.port, 2) + " " +
           Hex(access.value, 2);
}

std::optional<PortAccess> ParseAccess(std::string_view line)
{
    line = Trim(line);
    std::vector<std::string_view> words;
    while (!line.empty()) {
        size_t end = 0;
        while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end])))
            ++end;
        words.push_back(line.substr(0, end));
        line = Trim(line.substr(end));
    }
    if (words.size() != 3 || (words[0] != "R" && words[0] != "W"))
        return std::nullopt;
    auto port = ParseHex(words[1], 0xFFFF);
    auto value = ParseHex(words[2], 0xFF);
    if (!port || !value)
        return std::nullopt;
    PortAccess access;
    access.direction = words[0] == "R" ? PortAccess::Direction::Read : PortAccess::Direction::Write;
    access.port = static_cast<uint16_t>(*port);
    access.value = static_cast<uint8_t>(*value);
    return access;
}

std::string FormatTrace(const std::vector<PortAccess>& trace)
{
    std::string text;
    for (const auto& access : trace)
        text += FormatAccess(access) + "\n";
    return text;
}

std::vector<PortAccess> ParseTrace(std::string_view text)
{
    std::vector<PortAccess> trace;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        line = Trim(line);
        if (line.empty() || line.front() == '#')
            continue;
        auto access = ParseAccess(line);
        if (!access)
            throw std::invalid_argument("not a port operation: " + std::string(line));
        trace.push_back(*access);
    }
    return trace;
}

void PrintTo(const PortAccess& access, std::ostream* os)
{
    *os << FormatAccess(access);
}

void PortBus::Attach(std::shared_ptr<PortDevice> device)
{
    std::lock_guard lock(mutex_);
    devices_.push_back(std::move(device));
}

void PortBus::Detach(const PortDevice* device)
{
    std::lock_guard lock(mutex_);
    std::erase_if(devices_, [device](const auto& attached) { return attached.get() == device; });
}

void PortBus::DetachAll()
{
    std::lock_guard lock(mutex_);
    devices_.clear();
}

PortDevice* PortBus::Decoder(uint16_t port)
{
    PortDevice* decoder = nullptr;
    for (const auto& device : devices_) {
        if (!device->Decodes(port))
            continue;
        if (decoder == nullptr) {
            decoder = device.get();
        } else {
            sim::faults::Report("two devices decode I/O port " + Hex(port, 4));
            break;
        }
    }
    return decoder;
}

void PortBus::Record(const PortAccess& access)
{
    ++operations_;
    if (!tracing_)
        return;
    trace_.push_back(access);
    if (traceFile_.is_open())
        traceFile_ << FormatAccess(access) << '\n' << std::flush;
}

uint8_t PortBus::Read(uint16_t port)
{
    std::lock_guard lock(mutex_);
    PortDevice* device = Decoder(port);
    uint8_t value = device ? device->Read(port) : kOpenBus;
    Record(PortAccess::Read(port, value));
    return value;
}

void PortBus::Write(uint16_t port, uint8_t value)
{
    std::lock_guard lock(mutex_);
    if (PortDevice* device = Decoder(port))
        device->Write(port, value);
    Record(PortAccess::Write(port, value));
}

void PortBus::StartTrace(const std::filesystem::path& file)
{
    std::lock_guard lock(mutex_);
    trace_.clear();
    traceFile_.close();
    if (!file.empty()) {
        traceFile_.open(file, std::ios::out | std::ios::binary | std::ios::trunc);
        if (!traceFile_)
            throw std::runtime_error("cannot write the port trace to " + file.string());
    }
    tracing_ = true;
}

void PortBus::StopTrace()
{
    std::lock_guard lock(mutex_);
    tracing_ = false;
    traceFile_.close();
}

void PortBus::ClearTrace()
{
    std::lock_guard lock(mutex_);
    trace_.clear();
}

bool PortBus::Tracing() const
{
    std::lock_guard lock(mutex_);
    return tracing_;
}

std::vector<PortAccess> PortBus::Trace() const
{
    std::lock_guard lock(mutex_);
    return trace_;
}

void PortBus::SaveTrace(const std::filesystem::path& file) const
{
    std::string text;
    {
        std::lock_guard lock(mutex_);
        text = FormatTrace(trace_);
    }
    std::ofstream out(file, std::ios::out | std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write the port trace to " + file.string());
}

uint64_t PortBus::OperationCount() const
{
    std::lock_guard lock(mutex_);
    return operations_;
}

void PortBus::Reset()
{
    std::lock_guard lock(mutex_);
    devices_.clear();
    tracing_ = false;
    trace_.clear();
    traceFile_.close();
    operations_ = 0;
}

} // namespace sim::hw
