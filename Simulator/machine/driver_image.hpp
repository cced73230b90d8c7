// The driver's image-wide data as a fresh load of the image holds it.
#pragma once

namespace sim::machine {

// No firmware copy or product name, configuration ports 0x2E/0x2F, no service path copy. Used
// right after the simulator's reset, which has already given back the memory those pointers
// may still name.
void ReloadDriverImage();

} // namespace sim::machine
