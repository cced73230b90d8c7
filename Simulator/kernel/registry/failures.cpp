// Failures injected into the registry routines: the table the kernel routines consult and the
// host API that fills it.
#include "kernel/registry/failures.hpp"

#include <map>
#include <string>
#include <tuple>

#include "kernel/registry/names.hpp"
#include "kernel/registry/paths.hpp"
#include "kernel/registry/tree.hpp"
#include "sim_ntddk.h"

namespace sim::registry {
namespace tree {
namespace {

// Guarded by the registry lock.
using FailureTable = std::map<std::tuple<Operation, std::u16string, std::u16string>, Status>;

FailureTable& Failures()
{
    static FailureTable failures;
    return failures;
}

} // namespace

void InjectFailure(Operation op, std::u16string_view kernelPath, std::u16string_view name,
                   Status status)
{
    std::lock_guard guard(Lock());
    Failures()[{op, UpcaseName(kernelPath), UpcaseName(name)}] = status;
}

std::optional<Status> InjectedFailure(Operation op, std::u16string_view kernelPath,
                                      std::u16string_view name)
{
    std::lock_guard guard(Lock());
    if (Failures().empty())
        return std::nullopt;
    const auto path = UpcaseName(kernelPath);
    if (op == Operation::Open) {
        auto deny = Failures().find({Operation::Deny, path, u""});
        if (deny != Failures().end())
            return deny->second;
    }
    auto it = Failures().find({op, path, UpcaseName(name)});
    if (it == Failures().end())
        return std::nullopt;
    return it->second;
}

bool AnyInjectedFailures()
{
    std::lock_guard guard(Lock());
    return !Failures().empty();
}

void ClearFailures()
{
    std::lock_guard guard(Lock());
    Failures().clear();
}

} // namespace tree

using tree::Operation;
using tree::ToKernelPath;

void DenyOpen(std::string_view path)
{
    tree::InjectFailure(Operation::Deny, ToKernelPath(path), u"", STATUS_ACCESS_DENIED);
}

void FailOpen(std::string_view path, Status status)
{
    tree::InjectFailure(Operation::Open, ToKernelPath(path), u"", status);
}

void UnderReportMaxNameLen(std::string_view path, uint32_t bytes)
{
    tree::InjectFailure(Operation::MaxNameLen, ToKernelPath(path), u"", static_cast<Status>(bytes));
}

void FailQueryKey(std::string_view path, Status status)
{
    tree::InjectFailure(Operation::QueryKey, ToKernelPath(path), u"", status);
}

void FailEnumerate(std::string_view path, uint32_t index, Status status)
{
    tree::InjectFailure(Operation::Enumerate, ToKernelPath(path),
                        Utf8ToUtf16(std::to_string(index)), status);
}

void FailQueryValue(std::string_view path, std::string_view valueName, Status status)
{
    tree::InjectFailure(Operation::QueryValue, ToKernelPath(path), Utf8ToUtf16(valueName), status);
}

void FailWrite(std::string_view path, std::string_view valueName, Status status)
{
    tree::InjectFailure(Operation::Write, ToKernelPath(path), Utf8ToUtf16(valueName), status);
}

void ClearFailures()
{
    tree::ClearFailures();
}

} // namespace sim::registry
