#pragma once

#include <string>

#include "installer.h"

namespace selfupdate {

// Replaces the running executable with the newest published launcher of the channel when it is
// newer than kLauncherVersion. Returns 1 when replaced, 0 when nothing was done (up to date or
// declined at the prompt), -1 on failure with err set. An executable stays at the path throughout.
// Once it has replaced the executable, later calls in the same process return 1 and do nothing.
int check_and_update(installer::Env& env, bool assume_yes, std::string& err);

// True when path (the target of /proc/self/exe) can be replaced: it is not empty, still names the
// file this process runs from (same device and inode, no " (deleted)") and its directory is
// writable. Otherwise err says why ("could not move the running launcher aside: <reason>" for the
// directory).
bool can_replace(const std::string& path, std::string& err);

// Puts new_file at target with mode 0755 by one rename inside target's directory, so target always
// holds a whole executable; the old one stays reachable as target + ".old" until the swap is done.
// On success new_file, the ".old" and the ".new" names are gone; on failure target is untouched,
// nothing is left beside it and err holds the reason. Links planted at the ".old" or ".new" name
// are never followed; whatever stands at ".old" is removed, while a directory at ".new" fails the
// swap and stays.
bool replace_executable(const std::string& new_file, const std::string& target, std::string& err);

}  // namespace selfupdate
