#pragma once

#include <string>

#include "installer.h"

namespace selfupdate {

// Replaces the running executable with the newest published launcher of the channel when it is
// newer than kLauncherVersion. Returns 1 when replaced, 0 when nothing was done (up to date or
// declined at the prompt), -1 on failure with err set. An executable stays at the path throughout.
int check_and_update(installer::Env& env, bool assume_yes, std::string& err);

}  // namespace selfupdate
