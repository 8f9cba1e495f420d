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

  std::string engine_dir(const std::string& version) const;
  // bin/quillstep, else bin/luanti, in that version's directory; empty when neither exists.
  std::string engine_binary(const std::string& version) const;
};

// $XDG_DATA_HOME, else $HOME/.local/share, else empty.
std::string get_os_data_dir();
// $XDG_CONFIG_HOME, else $HOME/.config, else empty.
std::string get_os_config_dir();
// Target of /proc/self/exe, or empty.
std::string get_executable_path();
// "linux-x64"; valid for the whole run.
const char* platform_key();
// The layout under data_dir_override (or the XDG data directory + "quillstep" when empty).
LauncherPaths get_paths(const std::string& data_dir_override);
// Creates the five data directories and the settings file's directory.
bool ensure_dirs(const LauncherPaths& p, std::string& err);

}  // namespace paths
