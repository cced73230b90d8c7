// The library's connection on Linux: a simulated machine built from the board folder named by
// the environment variable KWOTARV_BOARD (the demo board when it is unset), as `kwotarv --board`
// builds it, with the simulator's ISA-bus mutex. The simulator runs one machine per process, so
// the handles open at one time share it, as handles on Windows share the one device: the first
// open builds it (reading KWOTARV_BOARD then), the last close takes it down.
#include "connection.hpp"

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <sstream>

#include "backends/simulator_backend.hpp"

namespace kwolib {

namespace {

struct SharedMachine {
    explicit SharedMachine(std::unique_ptr<kwotarv::Backend> opened)
        : backend(std::move(opened)), device(backend->Open())
    {
    }
    ~SharedMachine()
    {
        std::ostringstream ignored; // leftovers of the simulated session are the tests' concern
        backend->Finish(ignored);
    }
    std::unique_ptr<kwotarv::Backend> backend;
    kwotarv::Device& device;
};

// The machine of the open handles, and whether one exists (until its last user has taken it
// down, a new one cannot be built).
std::mutex gMachineMutex;
std::condition_variable gMachineGone;
std::weak_ptr<SharedMachine> gMachine;
bool gMachineExists = false;

std::shared_ptr<SharedMachine> BuildMachine()
{
    kwotarv::SimulatorOptions options;
    if (const char* board = std::getenv("KWOTARV_BOARD"); board != nullptr && *board != '\0')
        options.board = board;
    auto* machine = new SharedMachine(kwotarv::MakeSimulatorBackend(options));
    return std::shared_ptr<SharedMachine>(machine, [](SharedMachine* gone) {
        delete gone;
        std::lock_guard lock(gMachineMutex);
        gMachineExists = false;
        gMachineGone.notify_all();
    });
}

class SimulatorConnection : public Connection {
  public:
    explicit SimulatorConnection(std::shared_ptr<SharedMachine> machine)
        : machine_(std::move(machine))
    {
    }
    kwotarv::Device& Device() override { return machine_->device; }
    kwotarv::BusMutex* IsaBusMutex() override { return machine_->backend->IsaBusMutex(); }

  private:
    std::shared_ptr<SharedMachine> machine_;
};

} // namespace

std::unique_ptr<Connection> OpenConnection(kwo_status& status)
{
    std::unique_lock lock(gMachineMutex);
    std::shared_ptr<SharedMachine> machine = gMachine.lock();
    if (!machine) {
        gMachineGone.wait(lock, [] { return !gMachineExists; });
        try {
            machine = BuildMachine();
        } catch (const kwotarv::ToolError&) {
            status = KWO_ERROR_NO_DEVICE; // no usable board, or its device did not start
            return nullptr;
        }
        gMachine = machine;
        gMachineExists = true;
    }
    status = KWO_OK;
    return std::make_unique<SimulatorConnection>(std::move(machine));
}

} // namespace kwolib
