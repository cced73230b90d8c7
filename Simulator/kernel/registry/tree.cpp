// The registry tree: keys with their subkeys and values, the configuration manager's bookkeeping
// on them (last write time, name and data high-water marks), and the tree a fresh system has.
#include "kernel/registry/tree.hpp"

#include <algorithm>
#include <chrono>

#include "kernel/registry/names.hpp"
#include "kernel/registry/paths.hpp"

namespace sim::registry::tree {

Key::Key(std::u16string name, std::weak_ptr<Key> parent)
    : name_(std::move(name)), parent_(std::move(parent)), lastWriteTime_(Now())
{
}

std::u16string Key::Path() const
{
    std::vector<const Key*> chain;
    for (const Key* k = this; k != nullptr;) {
        chain.push_back(k);
        auto parent = k->parent_.lock();
        k = parent.get();
    }
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += u'\\';
        path += (*it)->name_;
    }
    return path;
}

std::shared_ptr<Key> Key::Subkey(std::u16string_view name) const
{
    auto it = subkeys_.find(name);
    return it == subkeys_.end() ? nullptr : it->second;
}

const Key* Key::SubkeyAt(size_t index) const
{
    if (index >= subkeys_.size())
        return nullptr;
    if (!cursor_ || cursor_->first > index)
        cursor_.emplace(0, subkeys_.begin());
    std::advance(cursor_->second, index - cursor_->first);
    cursor_->first = index;
    return cursor_->second->second.get();
}

std::shared_ptr<Key> Key::CreateSubkey(std::u16string_view name)
{
    if (auto existing = Subkey(name))
        return existing;
    auto child = std::make_shared<Key>(std::u16string(name), weak_from_this());
    subkeys_.emplace(std::u16string(name), child);
    cursor_.reset();
    maxNameLen_ = std::max<uint32_t>(maxNameLen_, static_cast<uint32_t>(name.size() * 2));
    Touch();
    return child;
}

bool Key::DeleteSubkey(std::u16string_view name)
{
    auto it = subkeys_.find(name);
    if (it == subkeys_.end())
        return false;
    it->second->MarkDeleted();
    subkeys_.erase(it);
    cursor_.reset();
    if (subkeys_.empty())
        maxNameLen_ = 0;
    Touch();
    return true;
}

void Key::DetachAsDeleted()
{
    MarkDeleted();
}

void Key::MarkDeleted()
{
    for (auto& [name, child] : subkeys_)
        child->MarkDeleted();
    deleted_ = true;
}

const ValueEntry* Key::FindValue(std::u16string_view name) const
{
    for (const auto& value : values_)
        if (EqualNames(value.name, name))
            return &value;
    return nullptr;
}

void Key::SetValue(std::u16string_view name, uint32_t type, std::vector<uint8_t> data)
{
    const auto dataLength = static_cast<uint32_t>(data.size());
    auto it = std::find_if(values_.begin(), values_.end(),
                           [&](const ValueEntry& v) { return EqualNames(v.name, name); });
    if (it != values_.end()) {
        it->type = type;
        it->data = std::move(data);
    } else {
        values_.push_back(ValueEntry{std::u16string(name), type, std::move(data)});
    }
    maxValueNameLen_ = std::max<uint32_t>(maxValueNameLen_, static_cast<uint32_t>(name.size() * 2));
    maxValueDataLen_ = std::max(maxValueDataLen_, dataLength);
    Touch();
}

bool Key::DeleteValue(std::u16string_view name)
{
    auto it = std::find_if(values_.begin(), values_.end(),
                           [&](const ValueEntry& v) { return EqualNames(v.name, name); });
    if (it == values_.end())
        return false;
    values_.erase(it);
    if (values_.empty()) {
        maxValueNameLen_ = 0;
        maxValueDataLen_ = 0;
    }
    Touch();
    return true;
}

void Key::Touch()
{
    lastWriteTime_ = Now();
}

int64_t Now()
{
    // FILETIME epoch (1601-01-01) to the Unix epoch, in 100 ns units.
    constexpr int64_t kEpochDifference = 116444736000000000LL;
    const auto sinceUnix = std::chrono::system_clock::now().time_since_epoch();
    return kEpochDifference +
           std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnix).count() / 100;
}

namespace {

struct State {
    std::recursive_mutex lock;
    std::shared_ptr<Key> root;
};

State& TheState()
{
    static State state;
    return state;
}

std::shared_ptr<Key> FreshTree()
{
    auto root = std::make_shared<Key>(u"REGISTRY");
    auto machine = root->CreateSubkey(u"MACHINE");
    machine->CreateSubkey(u"HARDWARE")->CreateSubkey(u"DEVICEMAP");
    machine->CreateSubkey(u"SOFTWARE");
    auto controlSet = machine->CreateSubkey(u"SYSTEM")->CreateSubkey(u"CurrentControlSet");
    controlSet->CreateSubkey(u"Control");
    controlSet->CreateSubkey(u"Services");
    root->CreateSubkey(u"USER")->CreateSubkey(u".DEFAULT");
    return root;
}

} // namespace

std::recursive_mutex& Lock()
{
    return TheState().lock;
}

std::shared_ptr<Key> Root()
{
    auto& state = TheState();
    std::lock_guard guard(state.lock);
    if (!state.root)
        state.root = FreshTree();
    return state.root;
}

std::shared_ptr<Key> Find(std::u16string_view hostPath)
{
    std::lock_guard guard(Lock());
    auto key = Root();
    for (const auto& name : SplitKernelPath(ToKernelPath(hostPath))) {
        key = key->Subkey(name);
        if (!key)
            return nullptr;
    }
    return key;
}

std::shared_ptr<Key> Create(std::u16string_view hostPath)
{
    std::lock_guard guard(Lock());
    auto key = Root();
    for (const auto& name : SplitKernelPath(ToKernelPath(hostPath)))
        key = key->CreateSubkey(name);
    return key;
}

void ResetTree()
{
    auto& state = TheState();
    std::lock_guard guard(state.lock);
    // Keys of the old tree that something still holds are marked deleted, so they cannot be
    // mistaken for live keys of the new one.
    if (state.root)
        state.root->DetachAsDeleted();
    state.root = FreshTree();
}

} // namespace sim::registry::tree
