// The support library's anchor; fixtures live in headers.
#include "sim_fixture.hpp"
