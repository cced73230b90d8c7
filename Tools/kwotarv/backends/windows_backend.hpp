// The Windows back end: the driver's device opened by its symbolic link, its published values
// and the ISA-bus mutex.
#pragma once

#include <memory>

#include "backends/backend.hpp"

namespace kwotarv {

std::unique_ptr<Backend> MakeDeviceBackend();

} // namespace kwotarv
