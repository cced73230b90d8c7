// Fixture of the whole-life tests: a fresh machine with the board installed, and checks at the
// end that no request is left outstanding.
#pragma once

#include <optional>

#include "lifecycle_machine.hpp"
#include "sim_fixture.hpp"

class LifecycleTest : public SimTest {
  protected:
    void SetUp() override
    {
        SimTest::SetUp();
        machine_.emplace(Board());
    }
    void TearDown() override
    {
        sim::bus::WaitForPendingCompletions();
        EXPECT_EQ(sim::io::OutstandingRequestCount(), 0u);
        SimTest::TearDown();
    }

    // The board the test runs on; tests override it for other boards.
    virtual lifecycle::Board Board() const { return {}; }

    lifecycle::LifecycleMachine& Machine() { return *machine_; }

  private:
    std::optional<lifecycle::LifecycleMachine> machine_;
};
