// What the library's examples (Library/examples/read_all.c and read_all.py) print for a board,
// made from the tool's own reading: `kwotarv read --json`. A test compares an example's output
// with this, so the library is held to what the tool reads: names, values, units, limits and
// alarms of every channel.
#pragma once

#include <string>

namespace tooltest {

// The example's text for a `kwotarv read --json` document (its "chip" line names the
// description).
std::string ExampleText(const std::string& readJson);

} // namespace tooltest
