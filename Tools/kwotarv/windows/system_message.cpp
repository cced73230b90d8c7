// Win32 error codes and security statuses as the system words them.
#include "windows/system_message.hpp"

#include <windows.h>

#include <cstdio>

namespace kwotarv {

namespace {

// The system's text for `code`, without its closing full stop and line end.
std::string MessageText(DWORD code)
{
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length != 0 ? std::string(text, length) : std::string();
    if (text != nullptr)
        LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message;
}

} // namespace

std::string SystemErrorText(uint32_t error)
{
    return MessageText(static_cast<DWORD>(error)) + " (error " + std::to_string(error) + ")";
}

std::string SecurityStatusText(long status)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(status));
    const std::string text = MessageText(static_cast<DWORD>(status));
    return text.empty() ? hex : text + " (" + hex + ")";
}

} // namespace kwotarv
