// The system's ISA-bus mutex (Global\Access_ISABUS.HTP.Method), opened or created for the
// Windows back end and the library.
#pragma once

#include <memory>

#include "client/bus_mutex.hpp"

namespace kwotarv {

// The mutex, created open to everyone when no tool has made it yet. Throws std::runtime_error
// when it can be neither created nor opened.
std::unique_ptr<BusMutex> OpenIsaBusMutex();

} // namespace kwotarv
