// The client's readings and info block as the C API's records.
#pragma once

#include <vector>

#include "client/hwm_client.hpp"
#include "client/info_block.hpp"
#include "kwotarv.h"

namespace kwolib {

// Voltages, temperatures, then fans, each numbered within its group.
std::vector<kwo_channel> ChannelRecords(const kwotarv::Readings& readings);

// The description and the decoded info block; false when the block has more groups than
// kwo_chip_info holds.
bool ChipInfoRecord(const kwotarv::Description& description, const kwotarv::InfoBlock& block,
                    kwo_chip_info& info);

} // namespace kwolib
