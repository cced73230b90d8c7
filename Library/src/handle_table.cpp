// The handle table.
#include "handle_table.hpp"

namespace kwolib {

HandleTable& HandleTable::Instance()
{
    static HandleTable* table = new HandleTable;
    return *table;
}

kwo_handle HandleTable::Add(std::shared_ptr<Session> session)
{
    std::lock_guard lock(mutex_);
    if (sessions_.size() >= KWO_MAX_HANDLES)
        return 0;
    do {
        ++last_; // skips 0 and, after wrapping, the handles still open
    } while (last_ == 0 || sessions_.count(last_) != 0);
    sessions_.emplace(last_, std::move(session));
    return last_;
}

std::shared_ptr<Session> HandleTable::Find(kwo_handle handle)
{
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(handle);
    return it == sessions_.end() ? nullptr : it->second;
}

std::shared_ptr<Session> HandleTable::Remove(kwo_handle handle)
{
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(handle);
    if (it == sessions_.end())
        return nullptr;
    std::shared_ptr<Session> session = std::move(it->second);
    sessions_.erase(it);
    return session;
}

} // namespace kwolib
