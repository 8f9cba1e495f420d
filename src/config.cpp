#include "config.h"

#include <cstdlib>
#include <fstream>

#include "util.h"

namespace {

constexpr char kHeader[] = "# Quillstep launcher configuration\n";

}  // namespace

std::string Config::get_string(const std::string& key, const std::string& def) const {
  const auto it = values.find(key);
  if (it == values.end() || it->second.empty()) return def;
  return it->second;
}

bool Config::get_bool(const std::string& key, bool def) const {
  const auto it = values.find(key);
  if (it == values.end()) return def;
  const std::string v = util::lower(util::trim(it->second));
  if (v == "true" || v == "yes" || v == "1") return true;
  if (v == "false" || v == "no" || v == "0") return false;
  return def;
}

int64_t Config::get_s64(const std::string& key, int64_t def) const {
  const auto it = values.find(key);
  if (it == values.end()) return def;
  const std::string v = util::trim(it->second);
  const char* begin = v.c_str();
  char* end = nullptr;
  // strtoll clamps out-of-range numbers to the 64-bit limits, which is what callers get.
  const long long n = std::strtoll(begin, &end, 10);
  if (end == begin || end != begin + v.size()) return def;
  return static_cast<int64_t>(n);
}

void Config::set_string(const std::string& key, const std::string& value) { values[key] = value; }

void Config::apply_defaults(Config& c) {
  const std::pair<const char*, const char*> defaults[] = {
      {config_keys::server_url, kDefaultServerUrl},
      {config_keys::channel, "stable"},
      {config_keys::data_dir, ""},
      {config_keys::update_on_launch, "true"},
      {config_keys::self_update, "true"},
      {config_keys::insecure_tls, "false"},
  };
  for (const auto& [key, value] : defaults) c.values.emplace(key, value);
}

bool Config::load_file(const std::string& path, std::string& err) {
  // A directory opens as a stream on Linux and would read as an empty file.
  std::ifstream in;
  if (!util::is_directory(path)) in.open(path);
  if (!in.is_open()) {
    err = "could not open config file: " + path;
    return false;
  }
  int64_t line_no = 0;  // 64-bit: a file of 2^31 lines must not overflow it
  std::string line;
  while (std::getline(in, line)) {
    line = util::trim(line.substr(0, line.find('#')));
    ++line_no;
    if (line.empty()) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
      err = "invalid line " + std::to_string(line_no) + " in " + path;
      return false;
    }
    const std::string key = util::trim(line.substr(0, eq));
    if (key.empty()) {
      err = "empty key on line " + std::to_string(line_no) + " in " + path;
      return false;
    }
    values[key] = util::trim(line.substr(eq + 1));
  }
  return true;
}

bool Config::save_file(const std::string& path, std::string& err) const {
  std::string text = kHeader;
  for (const auto& [key, value] : values) text += key + " = " + value + "\n";
  return util::write_whole_file(path, text, err);
}
