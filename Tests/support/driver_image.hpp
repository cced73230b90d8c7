// Puts the driver's global data back to its load-time values, as loading a fresh image would.
#pragma once

void ReloadDriverImage();
