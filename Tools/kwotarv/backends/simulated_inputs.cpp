// The simulated board's inputs changing at run time.
#include "backends/simulated_inputs.hpp"

#include "board/board.hpp"

namespace kwotarv {

void SimulatedInputs::BeforeRequest()
{
    if (!start_)
        return;
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - *start_;
    machine_.AdvanceClock(elapsed.count());
    ApplyChangesFile();
}

// The file is read again only when its modification time moved, and written into the chip only
// when its content differs from what was applied last. A file that cannot be used is reported
// once and changes nothing.
void SimulatedInputs::ApplyChangesFile()
{
    if (!changesFile_)
        return;
    std::error_code error;
    const auto time = std::filesystem::last_write_time(*changesFile_, error);
    if (error || (seenTime_ && *seenTime_ == time))
        return;
    seenTime_ = time;
    std::string text;
    try {
        text = sim::machine::ReadFile(*changesFile_, "register changes");
        if (text == appliedText_)
            return;
        appliedText_ = text;
        machine_.WriteRegisters(sim::machine::ParseRegisterChanges(
            text, "--register-changes " + changesFile_->string()));
    } catch (const sim::machine::BoardError& failure) {
        err_ << "kwotarv: " << failure.what() << "\n";
    }
}

} // namespace kwotarv
