// Win32 error codes and security statuses as the system words them, for messages.
#pragma once

#include <cstdint>
#include <string>

namespace kwotarv {

// The system's text for a Win32 error code, with the code ("Access is denied (error 5)").
std::string SystemErrorText(uint32_t error);
// The same for a SECURITY_STATUS or HRESULT, with the code in hex ("... (0x8009030D)").
std::string SecurityStatusText(long status);

} // namespace kwotarv
