// The system's ISA-bus mutex (Global\Access_ISABUS.HTP.Method), opened or created for the
// Windows back end and the library.
#pragma once

#include <memory>

#include "client/bus_mutex.hpp"

namespace kwotarv {

// The mutex, created open to everyone when no tool has made it yet. Throws std::runtime_error
// when it can be neither created nor opened.
std::unique_ptr<BusMutex> OpenIsaBusMutex();

// The mutex's handle (a HANDLE), created open to everyone or opened as it is; nullptr when
// neither works (GetLastError tells why). For programs that use the handle themselves.
void* CreateIsaBusMutexHandle();

} // namespace kwotarv
