// Failures injected into the registry routines, keyed by the upper-cased kernel path of the key
// (the host API that sets them is in registry.hpp).
#pragma once

#include <optional>
#include <string_view>

#include "kernel/registry/registry.hpp"

namespace sim::registry::tree {

// Deny makes every open of the key fail with STATUS_ACCESS_DENIED (ZwOpenKey and the create
// inside RtlWriteRegistryValue); Open fails ZwOpenKey only.
// MaxNameLen is no failure but a stale answer: the status stands for the bytes reported.
enum class Operation { Deny, Open, QueryKey, Enumerate, QueryValue, Write, MaxNameLen };
void InjectFailure(Operation op, std::u16string_view kernelPath, std::u16string_view name,
                   Status status);
// The injected status for this operation on this key (and value name, or enumeration index
// written as decimal text), if any. Asking for Open also finds a Deny entry.
std::optional<Status> InjectedFailure(Operation op, std::u16string_view kernelPath,
                                      std::u16string_view name = {});
// True when any failure is set, so that callers build a key's path only then.
bool AnyInjectedFailures();
void ClearFailures();

} // namespace sim::registry::tree
