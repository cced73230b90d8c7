// Reports of behaviour that would crash or corrupt a real system (a leak to user mode, an MSR
// the processor lacks, an unbalanced critical region...). Tests assert that none occurred.
#pragma once

#include <string>
#include <vector>

namespace sim::faults {

void Report(const std::string& what);
std::vector<std::string> All();
void Clear();

} // namespace sim::faults
