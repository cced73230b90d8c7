// The built-in demo board: the texts of Boards/nct6776 compiled into the program, used when no
// --board is given.
#pragma once

#include <string_view>

namespace kwotarv {

std::string_view DemoBoardJson();
std::string_view DemoBoardRegistry();
inline constexpr std::string_view kDemoBoardName = "demo";

} // namespace kwotarv
