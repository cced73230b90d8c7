// Device control on a started device: any buffered code (the driver's own codes most of the
// time), any input, any output length. Every request goes twice, under two system-buffer fills:
// the replies must be the same, or the driver returned bytes it never wrote. The simulator's
// checks (Information beyond the output or the system buffer) and a pool allocation that
// outlives the request are findings too.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "fuzz_support.hpp"
#include "kernel/io/device_io.hpp"
#include "kernel/pool/pool.hpp"
#include "public/kwotarv_public.h"

namespace {

constexpr uint32_t kDriverCodes[] = {
    IOCTL_HWM_GET_TEMPERATURES,   IOCTL_HWM_GET_VOLTAGES,       IOCTL_HWM_GET_CHIP_DESC,
    IOCTL_HWM_GET_CHIP_INFO,      IOCTL_HWM_GET_FANS,           IOCTL_HWM_GET_CHANNEL_NAMES,
    IOCTL_HWM_GET_CHANNEL_VALUES, IOCTL_HWM_GET_CHANNEL_LIMITS,
};
constexpr uint32_t kMaxOutput = 4096;
constexpr uint32_t kMaxInput = 256;
constexpr uint8_t kSecondFill = 0x3C;

sim::machine::Machine& StartedMachine()
{
    static std::unique_ptr<sim::machine::Machine> machine = [] {
        auto m =
            std::make_unique<sim::machine::Machine>(kwofuzz::DemoBoard(kwofuzz::DemoRegistry()));
        const auto start = m->PowerOn();
        if (!start.started)
            kwofuzz::Finding("the demo board did not start: " + start.diagnosis);
        return m;
    }();
    return *machine;
}

std::string Describe(uint32_t code, size_t input, uint32_t output)
{
    char text[96];
    std::snprintf(text, sizeof text, "code 0x%08X, %zu input bytes, %u output bytes", code, input,
                  output);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    sim::machine::Machine& machine = StartedMachine();
    FuzzedDataProvider provider(data, size);
    const size_t outstanding = sim::pool::OutstandingCount();

    for (int request = 0; request < 8 && provider.remaining_bytes() > 0; ++request) {
        uint32_t code = 0;
        if (provider.ConsumeBool()) {
            code = provider.PickValueInArray(kDriverCodes);
        } else {
            // Any device type, function and access; the simulator carries buffered codes only.
            code = provider.ConsumeIntegral<uint32_t>() & ~3u;
        }
        const uint32_t outputLength =
            provider.ConsumeBool() ? provider.ConsumeIntegralInRange<uint32_t>(0, 64)
                                   : provider.ConsumeIntegralInRange<uint32_t>(0, kMaxOutput);
        const std::vector<uint8_t> input =
            provider.ConsumeBytes<uint8_t>(provider.ConsumeIntegralInRange<size_t>(0, kMaxInput));

        sim::io::SetSystemBufferFill(sim::io::kSystemBufferFill);
        const auto first = machine.DeviceIoControl(code, input, outputLength);
        sim::io::SetSystemBufferFill(kSecondFill);
        const auto second = machine.DeviceIoControl(code, input, outputLength);
        sim::io::SetSystemBufferFill(sim::io::kSystemBufferFill);

        const std::string what = Describe(code, input.size(), outputLength);
        kwofuzz::CheckNoFaults(what);
        if (first.status != second.status || first.information != second.information)
            kwofuzz::Finding(what + ": the same request gave another status or length");
        if (first.output != second.output)
            kwofuzz::Finding(what + ": the reply holds bytes the driver did not write (they "
                                    "follow the system buffer's fill)");
        if (sim::pool::OutstandingCount() != outstanding)
            kwofuzz::Finding(what + ": a pool allocation outlived the request");
    }
    return 0;
}
