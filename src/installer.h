#pragma once

#include <string>

#include "config.h"
#include "http.h"
#include "manifest.h"
#include "paths.h"

namespace installer {

// Everything the commands need to know about this run; built once by the command line.
struct Env {
  paths::LauncherPaths paths;
  Config config;
  http::Options http;
  std::string base_url;  // server URL joined with "dist"
  std::string channel;   // "stable" or "dev"
  std::string platform;  // "linux-x64"
};

// Fetches <base_url>/<component>/manifest.json and parses it (the launcher's single-build form for
// "launcher"). A parse error reads "manifest <component>: <reason>".
bool fetch_manifest(const Env& env, const std::string& component, manifest::Manifest& out,
                    std::string& err);
// The version recorded in state.cfg under key, or empty.
std::string get_installed_version(const Env& env, const std::string& key);
// Rewrites state.cfg atomically with key set to value; other keys survive.
bool set_installed_version(Env& env, const std::string& key, const std::string& value,
                           std::string& err);
// dir/bin/quillstep, else dir/bin/luanti, or empty.
std::string find_engine_binary(const std::string& dir);
// Renames src to dst, or replaces dst with a recursive copy of src and removes src.
bool move_tree(const std::string& src, const std::string& dst, std::string& err);
// Whether a component's version is written to state.cfg (engine, game) or not (the launcher).
enum class Recorded { kYes, kNo };
// True when version can name a directory or cache file: one plain path component (not empty, not
// "." or "..", no '/', '\\', drive prefix or NUL). A recorded one must also survive state.cfg: no
// control byte or '#', no leading or trailing blank. Otherwise err names the component.
bool check_version(const std::string& component, const std::string& version, Recorded recorded,
                   std::string& err);
// Shows prompt on standard output, reads one answer line (at most 63 bytes kept, the rest of the
// line discarded) and returns false only for an answer beginning with 'n' or 'N'.
bool confirm(const std::string& prompt);

// Downloads, verifies, unpacks and swaps in a game build, then records game_version.
bool install_game(Env& env, const manifest::Build& build, bool force, std::string& err);
// Same for an engine build; other engine versions are removed afterwards.
bool install_engine(Env& env, const manifest::Build& build, bool force, std::string& err);

}  // namespace installer
