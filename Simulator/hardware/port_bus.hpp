// The I/O port bus of the simulated machine: byte-wide ports decoded by the devices attached to
// it, as an ISA/LPC bus decodes them. A port that no device decodes reads 0xFF and swallows
// writes. Every operation can be recorded as a trace for tests that compare exact sequences.
//
// Usage:
//   auto& bus = sim::hw::Current().ports;        // the current machine's bus (hardware.hpp)
//   bus.StartTrace();                            // record from now on (clears the old trace)
//   ... driver runs: READ_PORT_UCHAR / WRITE_PORT_UCHAR land here ...
//   bus.StopTrace();
//   EXPECT_EQ(bus.Trace(), (std::vector<sim::hw::PortAccess>{
//       sim::hw::PortAccess::Write(0x2E, 0x87), sim::hw::PortAccess::Read(0x2F, 0xC3)}));
//   bus.SaveTrace("trace.txt");                  // "W 0x2E 0x87" / "R 0x2F 0xC3", one per line
// A device derives from PortDevice, says which ports it decodes, and is attached with Attach().
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::hw {

// One port operation as it appeared on the bus.
struct PortAccess {
    enum class Direction : uint8_t { Read, Write };
    Direction direction = Direction::Read;
    uint16_t port = 0;
    uint8_t value = 0;

    static PortAccess Read(uint16_t port, uint8_t value) { return {Direction::Read, port, value}; }
    static PortAccess Write(uint16_t port, uint8_t value)
    {
        return {Direction::Write, port, value};
    }
    bool IsRead() const { return direction == Direction::Read; }
    bool IsWrite() const { return direction == Direction::Write; }
    friend bool operator==(const PortAccess&, const PortAccess&) = default;
};

// "W 0x2E 0x87" / "R 0x2F 0xC3" (port with at least two hex digits, value with two).
std::string FormatAccess(const PortAccess& access);
// The inverse of FormatAccess; nullopt for a line that is not one operation.
std::optional<PortAccess> ParseAccess(std::string_view line);
// Whole traces, one operation per line.
std::string FormatTrace(const std::vector<PortAccess>& trace);
std::vector<PortAccess> ParseTrace(std::string_view text);
// Lets gtest print accesses and traces readably.
void PrintTo(const PortAccess& access, std::ostream* os);

// A device on the bus. Decodes() must be cheap and must not call back into the bus; Read() and
// Write() are called with the bus lock held, one operation at a time.
class PortDevice {
  public:
    virtual ~PortDevice() = default;
    virtual bool Decodes(uint16_t port) const = 0;
    virtual uint8_t Read(uint16_t port) = 0;
    virtual void Write(uint16_t port, uint8_t value) = 0;
};

class PortBus {
  public:
    PortBus() = default;
    PortBus(const PortBus&) = delete;
    PortBus& operator=(const PortBus&) = delete;

    void Attach(std::shared_ptr<PortDevice> device);
    void Detach(const PortDevice* device);
    void DetachAll();

    // The two bus cycles. Two devices decoding the same port is a board fault: it is reported
    // through sim::faults and the first attached device answers.
    uint8_t Read(uint16_t port);
    void Write(uint16_t port, uint8_t value);

    // Tracing. StartTrace clears what was recorded before; when a file is given, every operation
    // is also appended to it as it happens (the file is truncated first).
    void StartTrace(const std::filesystem::path& file = {});
    void StopTrace();
    void ClearTrace();
    bool Tracing() const;
    std::vector<PortAccess> Trace() const;
    void SaveTrace(const std::filesystem::path& file) const;

    // Operations since the last Reset, traced or not.
    uint64_t OperationCount() const;

    // No devices, no trace, counters zero.
    void Reset();

  private:
    PortDevice* Decoder(uint16_t port);
    void Record(const PortAccess& access);

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<PortDevice>> devices_;
    bool tracing_ = false;
    std::vector<PortAccess> trace_;
    std::ofstream traceFile_;
    uint64_t operations_ = 0;
};

} // namespace sim::hw
