// What changes the simulated board's inputs while a command runs: the board's timeline, played
// against the time since power-on, and the --register-changes file, whose registers are written
// whenever its content changes. Both act before each request reaches the driver.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "machine/machine.hpp"

namespace kwotarv {

class SimulatedInputs {
  public:
    SimulatedInputs(sim::machine::Machine& machine,
                    std::optional<std::filesystem::path> changesFile, std::ostream& err)
        : machine_(machine), changesFile_(std::move(changesFile)), err_(err)
    {
    }

    // The machine has been powered on: the timeline's clock starts now.
    void Start() { start_ = std::chrono::steady_clock::now(); }
    // Plays the timeline up to now and applies a changed --register-changes file.
    void BeforeRequest();

  private:
    void ApplyChangesFile();

    sim::machine::Machine& machine_;
    std::optional<std::filesystem::path> changesFile_;
    std::ostream& err_;
    std::optional<std::chrono::steady_clock::time_point> start_;
    std::optional<std::filesystem::file_time_type> seenTime_;
    std::string appliedText_;
};

} // namespace kwotarv
