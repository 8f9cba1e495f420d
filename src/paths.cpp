#include "paths.h"

#include <unistd.h>

#include <cstdlib>
#include <initializer_list>

#include "util.h"

namespace paths {

namespace {

// The variable's value, or empty when it is unset or empty.
std::string env_or_empty(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string xdg_dir(const char* xdg_var, const char* home_suffix) {
  const std::string xdg = env_or_empty(xdg_var);
  if (!xdg.empty()) return xdg;
  const std::string home = env_or_empty("HOME");
  if (!home.empty()) return util::join_paths(home, home_suffix);
  return std::string();
}

}  // namespace

std::string LauncherPaths::engine_dir(const std::string& version) const {
  return util::join_paths(engine_root, version);
}

std::string LauncherPaths::engine_binary(const std::string& version) const {
  static const char* const names[] = {"quillstep", "luanti"};
  if (version.empty() || engine_root.empty()) return std::string();
  const std::string bin_dir = util::join_paths(engine_dir(version), "bin");
  for (const char* name : names) {
    const std::string candidate = util::join_paths(bin_dir, name);
    if (util::path_exists(candidate)) return candidate;
  }
  return std::string();
}

std::string get_os_data_dir() { return xdg_dir("XDG_DATA_HOME", ".local/share"); }

std::string get_os_config_dir() { return xdg_dir("XDG_CONFIG_HOME", ".config"); }

std::string get_executable_path() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  // A target that fills the buffer may have been cut; a wrong path is worse than none.
  if (n <= 0 || n >= static_cast<ssize_t>(sizeof buf - 1)) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

const char* platform_key() { return "linux-x64"; }

LauncherPaths get_paths(const std::string& data_dir_override) {
  std::string root = data_dir_override;
  if (root.empty()) {
    const std::string os_data = get_os_data_dir();
    if (!os_data.empty()) root = util::join_paths(os_data, "quillstep");
  }
  LauncherPaths p;
  p.data_dir = root;
  p.cache_dir = util::join_paths(root, "cache");
  p.engine_root = util::join_paths(root, "engine");
  p.games_dir = util::join_paths(root, "games");
  p.worlds_dir = util::join_paths(root, "worlds");
  p.state_file = util::join_paths(root, "state.cfg");
  std::string config_dir = get_os_config_dir();
  if (!config_dir.empty()) config_dir = util::join_paths(config_dir, "quillstep");
  p.config_file = util::join_paths(config_dir, "launcher.conf");
  return p;
}

bool ensure_dirs(const LauncherPaths& p, std::string& err) {
  for (const std::string* dir :
       {&p.data_dir, &p.cache_dir, &p.engine_root, &p.games_dir, &p.worlds_dir}) {
    if (dir->empty() || !util::make_dirs(*dir)) {
      err = "could not create directory: " + *dir;
      return false;
    }
  }
  const size_t sep = p.config_file.find_last_of("/\\");
  if (sep == std::string::npos) return true;
  const std::string config_dir = p.config_file.substr(0, sep + 1);
  if (!util::make_dirs(config_dir)) {
    err = "could not create config directory: " + config_dir;
    return false;
  }
  return true;
}

}  // namespace paths
