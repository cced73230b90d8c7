// UTF-8 text as UTF-16, for the wide Win32 calls.
#pragma once

#include <string>

namespace kwotarv {

std::wstring Wide(const std::string& text);

} // namespace kwotarv
