// Base fixture: every test starts on a freshly booted simulated machine and fails if the
// simulator saw anything that would be a fault on Windows.
#pragma once

#include <gtest/gtest.h>

#include "kernel/debug/faults.hpp"
#include "kernel/reset.hpp"
#include "machine/driver_image.hpp"

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        sim::ResetAll();
        sim::machine::ReloadDriverImage();
    }
    void TearDown() override
    {
        for (const auto& fault : sim::faults::All())
            ADD_FAILURE() << "simulator reported: " << fault;
    }
};
