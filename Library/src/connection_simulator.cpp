// The library's connection on Linux: a simulated machine built from the board folder named by
// the environment variable KWOTARV_BOARD (the demo board when it is unset), as `kwotarv --board`
// builds it, with the simulator's ISA-bus mutex. The machine lives as long as the handle.
#include "connection.hpp"

#include <cstdlib>
#include <sstream>

#include "backends/simulator_backend.hpp"

namespace kwolib {

namespace {

class SimulatorConnection : public Connection {
  public:
    explicit SimulatorConnection(std::unique_ptr<kwotarv::Backend> backend)
        : backend_(std::move(backend)), device_(backend_->Open())
    {
    }
    ~SimulatorConnection() override
    {
        std::ostringstream ignored; // leftovers of the simulated session are the tests' concern
        backend_->Finish(ignored);
    }
    kwotarv::Device& Device() override { return device_; }
    kwotarv::BusMutex* IsaBusMutex() override { return backend_->IsaBusMutex(); }

  private:
    std::unique_ptr<kwotarv::Backend> backend_;
    kwotarv::Device& device_;
};

} // namespace

std::unique_ptr<Connection> OpenConnection(kwo_status& status)
{
    kwotarv::SimulatorOptions options;
    if (const char* board = std::getenv("KWOTARV_BOARD"); board != nullptr && *board != '\0')
        options.board = board;
    try {
        auto connection =
            std::make_unique<SimulatorConnection>(kwotarv::MakeSimulatorBackend(options));
        status = KWO_OK;
        return connection;
    } catch (const kwotarv::ToolError&) {
        status = KWO_ERROR_NO_DEVICE; // no usable board, or its device did not start
        return nullptr;
    }
}

} // namespace kwolib
