// The driver's device on Windows, opened by its symbolic link: the request road of the tool's
// Windows back end and of the library (Library/).
#pragma once

#include <cstdint>
#include <memory>

#include "client/device.hpp"

namespace kwotarv {

// The device opened for reading and writing, or for reading only when writing is denied (only
// the raw temperature and voltage codes need it); nullptr when it cannot be opened, with the
// system's error code (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ...) in `error`.
std::unique_ptr<Device> OpenWindowsDevice(uint32_t& error);

} // namespace kwotarv
