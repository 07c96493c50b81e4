// Live input for quorvel-decode: the sound-card inputs and a capture run of the
// same capture thread as the window's, until SIGINT or SIGTERM or until standard
// output is closed.
#pragma once

#include <functional>
#include <string>

#include "core/engine.h"

namespace quorvel::tools {

// Print the capture devices, one "N<TAB>name<TAB>description" line each.
// Returns the exit status.
int ListLiveDevices();

// Capture from `device` (a number, a name or a unique part of a description),
// hand each taken text to `write` every 33 ms, and end cleanly (capture thread
// ended, device closed) on SIGINT or SIGTERM, or when standard output can no
// longer be written (a reader such as `head -1` went away). A device or sound
// server that goes away is reported on standard error and opened again when it
// is back. Returns 0 after an interrupt, 1 when the device cannot be opened or
// the output was lost, 2 for a device that is not listed, 3 in a build without
// live input.
// Messages name `program`.
int DecodeLive(Engine& engine, const std::string& device, const std::function<void(const std::string&)>& write,
               bool stats, const char* program = "quorvel-decode");

}  // namespace quorvel::tools
