#pragma once

#include <string>

// Where the launcher keeps its files.
namespace paths {

struct LauncherPaths {
  std::string data_dir;
  std::string config_file;
  std::string state_file;
  std::string cache_dir;
  std::string engine_root;
  std::string games_dir;
  std::string worlds_dir;

  // engine_root joined with version, unchecked.
  std::string engine_dir(const std::string& version) const;
  // bin/quillstep, else bin/luanti, in that version's directory; empty when neither exists.
  std::string engine_binary(const std::string& version) const;
};

// $XDG_DATA_HOME, else $HOME/.local/share, else empty.
std::string get_os_data_dir();
// $XDG_CONFIG_HOME, else $HOME/.config, else empty.
std::string get_os_config_dir();
// Target of /proc/self/exe, or empty when unreadable or too long to be read whole.
std::string get_executable_path();
// "linux-x64"; valid for the whole run.
const char* platform_key();
// The layout under data_dir_override (or the XDG data directory + "quillstep" when empty); the
// settings file is always <XDG config directory>/quillstep/launcher.conf, or bare launcher.conf.
LauncherPaths get_paths(const std::string& data_dir_override);
// Creates the five data directories and the settings file's directory. Fails with "could not
// create directory: <member>" (an empty member too) or "could not create config directory: <dir/>".
bool ensure_dirs(const LauncherPaths& p, std::string& err);

}  // namespace paths
