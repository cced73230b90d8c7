// Channel lists for tests, built the way the configuration store builds them: one zero-filled
// paged-pool allocation under the kind's list tag, each name its own paged-pool buffer under the
// kind's name tag, its terminator counted in NameSize. Lists are freed with FreeChannelList.
#pragma once

#include <cwchar>
#include <optional>
#include <string>
#include <vector>

// Driver headers last: the host seam renames a few wide-string routines by macro.
#include "config/channel.h"

namespace kwo::test {

struct ChannelRecord {
    // Channel name without terminator; nullopt gives the kind's default name.
    std::optional<std::u16string> name;
    ULONG regIndex = 0;
    ULONG r1 = 0;
    ULONG r2 = 0;
    LONG tjMax = 0;
    LONG offset = 0;
    LONG functionIndex = -1;
    LONG lowLimit = HWM_LIMIT_NONE;
    LONG highLimit = HWM_LIMIT_NONE;
    // Overrides NameSize (the buffer is then made that large, the text cut or zero-padded).
    std::optional<ULONG> nameSize;
};

// A list of `kind` holding `channels` in the given order; `capacity` (at least the number of
// channels) leaves zero records after the filled ones.
PSENSOR_CHANNEL_LIST BuildChannelList(ULONG kind, const std::vector<ChannelRecord>& channels,
                                      std::optional<ULONG> capacity = std::nullopt);

// `count` channels of `kind` named "<prefix>0", "<prefix>1", ..., channel i with RegIndex
// i modulo `regCount`.
PSENSOR_CHANNEL_LIST BuildNumberedList(ULONG kind, ULONG count, ULONG regCount,
                                       const std::u16string& prefix);

} // namespace kwo::test
