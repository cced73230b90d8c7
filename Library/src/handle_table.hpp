// The library's handles: numbers it hands out, looked up in a table, never pointers cast back,
// so that a handle never opened, already closed or made up is told apart and refused.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "kwotarv.h"
#include "session.hpp"

namespace kwolib {

class HandleTable {
  public:
    // The process's table (never destroyed: a handle still open at exit is the system's to
    // close).
    static HandleTable& Instance();

    // A new handle for `session`; 0 when KWO_MAX_HANDLES are open.
    kwo_handle Add(std::shared_ptr<Session> session);
    // The session of a handle, kept alive for the caller even if another thread closes it;
    // nullptr for anything not open.
    std::shared_ptr<Session> Find(kwo_handle handle);
    // Takes the handle out of the table; nullptr when it was not open.
    std::shared_ptr<Session> Remove(kwo_handle handle);

  private:
    std::mutex mutex_;
    std::map<kwo_handle, std::shared_ptr<Session>> sessions_;
    kwo_handle last_ = 0; // handles count up, so a closed one is not soon handed out again
};

} // namespace kwolib
