// The exported functions: arguments checked, the handle looked up, the work done by its
// session. No exception crosses into the caller: anything unexpected is KWO_ERROR_SYSTEM.
#include "kwotarv.h"

#include <exception>
#include <functional>

#include "handle_table.hpp"
#include "kwotarv_public.h"

namespace {

using kwolib::HandleTable;
using kwolib::Session;

kwo_status Guarded(const std::function<kwo_status()>& work)
{
    try {
        return work();
    } catch (...) {
        return KWO_ERROR_SYSTEM;
    }
}

// Runs `work` on the session of an open handle.
kwo_status WithSession(kwo_handle handle, const std::function<kwo_status(Session&)>& work)
{
    return Guarded([&] {
        std::shared_ptr<Session> session = HandleTable::Instance().Find(handle);
        return session ? work(*session) : KWO_ERROR_INVALID_HANDLE;
    });
}

// The driver's group selector of a channel kind; 0 for none.
uint32_t SelectorOfKind(uint32_t kind)
{
    switch (kind) {
    case KWO_KIND_VOLTAGE:
        return HWM_SELECT_VOLTAGES;
    case KWO_KIND_TEMPERATURE:
        return HWM_SELECT_TEMPERATURES;
    case KWO_KIND_FAN:
        return HWM_SELECT_FANS;
    default:
        return 0;
    }
}

bool BufferArgumentsValid(const kwo_channel* channels, uint32_t capacity, const uint32_t* count)
{
    return count != nullptr && (channels != nullptr || capacity == 0);
}

} // namespace

extern "C" {

kwo_status KWO_CALL kwo_open(kwo_handle* handle)
{
    return kwo_open_with(KWO_DEFAULT_BUS_LOCK_WAIT_MS, handle);
}

kwo_status KWO_CALL kwo_open_with(uint32_t bus_lock_wait_ms, kwo_handle* handle)
{
    if (handle == nullptr || bus_lock_wait_ms > KWO_MAX_BUS_LOCK_WAIT_MS)
        return KWO_ERROR_INVALID_ARGUMENT;
    *handle = 0;
    return Guarded([&] {
        kwo_status status = KWO_OK;
        std::unique_ptr<kwolib::Connection> connection = kwolib::OpenConnection(status);
        if (!connection)
            return status;
        *handle = HandleTable::Instance().Add(
            std::make_shared<Session>(std::move(connection), bus_lock_wait_ms));
        return *handle != 0 ? KWO_OK : KWO_ERROR_TOO_MANY_HANDLES;
    });
}

kwo_status KWO_CALL kwo_close(kwo_handle handle)
{
    return Guarded(
        [&] { return HandleTable::Instance().Remove(handle) ? KWO_OK : KWO_ERROR_INVALID_HANDLE; });
}

kwo_status KWO_CALL kwo_read_all(kwo_handle handle, kwo_channel* channels, uint32_t capacity,
                                 uint32_t* count)
{
    return WithSession(handle, [&](Session& session) {
        if (!BufferArgumentsValid(channels, capacity, count))
            return KWO_ERROR_INVALID_ARGUMENT;
        return session.Read(std::nullopt, channels, capacity, count);
    });
}

kwo_status KWO_CALL kwo_read_group(kwo_handle handle, uint32_t kind, kwo_channel* channels,
                                   uint32_t capacity, uint32_t* count)
{
    return WithSession(handle, [&](Session& session) {
        const uint32_t selector = SelectorOfKind(kind);
        if (selector == 0 || !BufferArgumentsValid(channels, capacity, count))
            return KWO_ERROR_INVALID_ARGUMENT;
        return session.Read(selector, channels, capacity, count);
    });
}

kwo_status KWO_CALL kwo_describe(kwo_handle handle, kwo_chip_info* info)
{
    return WithSession(handle, [&](Session& session) {
        return info != nullptr ? session.Describe(*info) : KWO_ERROR_INVALID_ARGUMENT;
    });
}

} // extern "C"
