// Live input for quorvel-decode: the sound-card inputs and a capture run of the
// same capture thread as the window's, until SIGINT or SIGTERM.
#pragma once

#include <functional>
#include <string>

#include "core/engine.h"

namespace quorvel::tools {

// Print the capture devices, one "N<TAB>name" line each. Returns the exit status.
int ListLiveDevices();

// Capture from device `device`, hand each taken text to `write` every 33 ms, and
// end cleanly on SIGINT or SIGTERM (capture thread ended, device closed). Returns
// 0 after such an end, 1 when the device cannot be opened, 2 for a device number
// that is not listed, 3 in a build without live input.
int DecodeLive(Engine& engine, int device, const std::function<void(const std::string&)>& write, bool stats);

}  // namespace quorvel::tools
