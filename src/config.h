#pragma once

#include <cstdint>
#include <map>
#include <string>

// The distribution server used when neither launcher.conf nor --server names one.
inline constexpr char kDefaultServerUrl[] = "https://downloads.quillstep.net";

namespace config_keys {
inline constexpr char server_url[] = "server_url";
inline constexpr char channel[] = "channel";
inline constexpr char data_dir[] = "data_dir";
inline constexpr char update_on_launch[] = "update_on_launch";
inline constexpr char self_update[] = "self_update";
inline constexpr char insecure_tls[] = "insecure_tls";
}  // namespace config_keys

// Key=value settings, used for launcher.conf and state.cfg alike.
class Config {
public:
  std::map<std::string, std::string> values;

  // The stored value, or def when the key is missing or its value is empty.
  std::string get_string(const std::string& key, const std::string& def = "") const;
  // true/yes/1 and false/no/0 in any case, blanks around allowed; anything else gives def.
  bool get_bool(const std::string& key, bool def) const;
  // A whole base-10 number (clamped to the signed 64-bit range), else def.
  int64_t get_s64(const std::string& key, int64_t def) const;
  // Inserts key or overwrites its value.
  void set_string(const std::string& key, const std::string& value);

  // Fills only the missing keys with the built-in defaults.
  static void apply_defaults(Config& c);

  // Merges the file into values. Fails with "could not open config file: <path>" (a directory
  // too), "invalid line <n> in <path>" or "empty key on line <n> in <path>"; lines before a bad
  // one stay applied.
  bool load_file(const std::string& path, std::string& err);
  // Writes the header line and every entry atomically (util::write_whole_file).
  bool save_file(const std::string& path, std::string& err) const;
};
