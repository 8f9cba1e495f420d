#pragma once

#include <string>
#include <vector>

#include "installer.h"

namespace gamelaunch {

// Runs the engine of version with the game's directories and extra_args and waits for it.
// Returns its exit status, 128 + signal number when a signal ended it, or -1 (err set when the
// engine was not found or could not be started or waited for).
int launch(const installer::Env& env, const std::string& version,
           const std::vector<std::string>& extra_args, std::string& err);

}  // namespace gamelaunch
