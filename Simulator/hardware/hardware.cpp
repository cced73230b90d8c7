// The current machine's hardware and its boot state.
#include "hardware/hardware.hpp"

#include <algorithm>

namespace sim::hw {

SuperIo& Hardware::InstallSuperIo(const SuperIoConfig& config)
{
    if (SuperIo* existing = SuperIoAt(config.configPort)) {
        ports.Detach(existing);
        std::erase_if(chips_, [existing](const auto& chip) { return chip.get() == existing; });
    }
    if (config.kind == ChipKind::None) {
        // Nothing answers at that port pair; the caller gets an unattached chip to look at.
        placeholder_ = std::make_shared<SuperIo>(config);
        return *placeholder_;
    }
    auto chip = std::make_shared<SuperIo>(config);
    ports.Attach(chip);
    chips_.push_back(chip);
    return *chip;
}

void Hardware::RemoveSuperIos()
{
    for (const auto& chip : chips_)
        ports.Detach(chip.get());
    chips_.clear();
}

SuperIo* Hardware::SuperIoAt(uint16_t configPort)
{
    auto found = std::ranges::find_if(
        chips_, [configPort](const auto& chip) { return chip->IndexPort() == configPort; });
    return found == chips_.end() ? nullptr : found->get();
}

SuperIo* Hardware::FirstSuperIo()
{
    return chips_.empty() ? nullptr : chips_.front().get();
}

void Hardware::Reset()
{
    ports.Reset();
    chips_.clear();
    placeholder_.reset();
    cpu.Reset();
    pci.Reset();
    memory.Reset();
}

Hardware& Current()
{
    static Hardware hardware;
    return hardware;
}

void Reset()
{
    Current().Reset();
}

} // namespace sim::hw
