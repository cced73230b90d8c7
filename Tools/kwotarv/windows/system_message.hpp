// Win32 error codes as the system words them, for messages.
#pragma once

#include <cstdint>
#include <string>

namespace kwotarv {

// The system's text for a Win32 error code, with the code ("Access is denied (error 5)").
std::string SystemErrorText(uint32_t error);

} // namespace kwotarv
