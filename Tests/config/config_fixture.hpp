// Fixture for the board identification and configuration tests: a freshly booted machine with a
// freshly loaded driver (no product name held); whatever name a test leaves is released before
// the end-of-test checks.
#pragma once

#include <string>

#include "kernel/pool/pool.hpp"
#include "sim_fixture.hpp"
// Driver headers last: the host build's kernel seam renames a few C library routines.
#include "config/firmware.h"

class ConfigTest : public SimTest {
  protected:
    void TearDown() override
    {
        ReleaseProductName();
        SimTest::TearDown();
    }

    static std::string HeldName()
    {
        return Globals.ProductName ? std::string(Globals.ProductName) : "<none>";
    }
};
