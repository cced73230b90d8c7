// Where a handle's requests go: the driver's device and the ISA-bus mutex of the platform (the
// system's on Windows, connection_windows.cpp; a simulated machine on Linux,
// connection_simulator.cpp).
#pragma once

#include <memory>

#include "client/bus_mutex.hpp"
#include "client/device.hpp"
#include "kwotarv.h"

namespace kwolib {

class Connection {
  public:
    virtual ~Connection() = default;
    virtual kwotarv::Device& Device() = 0;
    // nullptr where no other tool can be beside the library.
    virtual kwotarv::BusMutex* IsaBusMutex() = 0;
};

// The device opened; nullptr with the reason in `status` when it cannot be.
std::unique_ptr<Connection> OpenConnection(kwo_status& status);

} // namespace kwolib
