// A handle's readings and chip description through the tool's request client.
#include "session.hpp"

#include <algorithm>

#include "channel_records.hpp"
#include "client/info_block.hpp"

namespace kwolib {

Session::Session(std::unique_ptr<Connection> connection, uint32_t busLockWaitMs)
    : connection_(std::move(connection)), bus_{connection_->IsaBusMutex(), busLockWaitMs},
      client_(connection_->Device(), bus_)
{
}

kwo_status Session::Read(std::optional<uint32_t> selector, kwo_channel* channels, uint32_t capacity,
                         uint32_t* count)
{
    std::lock_guard lock(mutex_);
    const kwotarv::Readings readings = selector ? client_.ReadGroup(*selector) : client_.ReadAll();
    if (readings.busLockTimedOut)
        return KWO_ERROR_BUS_LOCK_TIMEOUT;
    if (!readings.errors.empty())
        return KWO_ERROR_REQUEST_FAILED;
    const std::vector<kwo_channel> records = ChannelRecords(readings);
    *count = static_cast<uint32_t>(records.size());
    if (records.size() > capacity)
        return KWO_ERROR_BUFFER_TOO_SMALL;
    std::copy(records.begin(), records.end(), channels);
    return KWO_OK;
}

kwo_status Session::Describe(kwo_chip_info& info)
{
    std::lock_guard lock(mutex_);
    try {
        kwotarv::BusLockGuard guard(bus_);
        const kwotarv::Description description = client_.GetDescription();
        const kwotarv::InfoBlock block = kwotarv::DecodeInfoBlock(client_.GetChipInfo());
        if (!block.problems.empty() || !ChipInfoRecord(description, block, info))
            return KWO_ERROR_REQUEST_FAILED;
        return KWO_OK;
    } catch (const kwotarv::BusLockTimeout&) {
        return KWO_ERROR_BUS_LOCK_TIMEOUT;
    } catch (const kwotarv::RequestError&) {
        return KWO_ERROR_REQUEST_FAILED;
    }
}

} // namespace kwolib
