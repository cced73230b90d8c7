// What one handle stands for: its connection to the driver and the request client over it,
// whose batches take the ISA-bus mutex with the handle's wait. Calls on one session are
// serialised: the client keeps what it learned of the device between readings.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "client/hwm_client.hpp"
#include "connection.hpp"
#include "kwotarv.h"

namespace kwolib {

class Session {
  public:
    Session(std::unique_ptr<Connection> connection, uint32_t busLockWaitMs);

    // Every channel, or those of one HWM_SELECT_* group, into the caller's records (the
    // buffer rule of kwo_read_all).
    kwo_status Read(std::optional<uint32_t> selector, kwo_channel* channels, uint32_t capacity,
                    uint32_t* count);
    kwo_status Describe(kwo_chip_info& info);

  private:
    std::mutex mutex_;
    std::unique_ptr<Connection> connection_;
    kwotarv::BusLock bus_;
    kwotarv::HwmClient client_;
};

} // namespace kwolib
