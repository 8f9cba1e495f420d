#include <unistd.h>

#include <catch2/catch_test_macros.hpp>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "config.h"
#include "paths.h"
#include "util.h"

namespace fs = std::filesystem;
using Map = std::map<std::string, std::string>;

namespace {

// A fresh directory of its own under the system temp dir, removed with everything in it.
struct Scratch {
  std::string root;
  Scratch() {
    static int count = 0;
    root = (fs::temp_directory_path() /
            ("quillstep-unit-cfg-" + std::to_string(getpid()) + "-" + std::to_string(++count)))
               .string();
    fs::create_directories(root);
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  std::string operator/(const std::string& rel) const { return root + "/" + rel; }
};

// Sets (or with nullopt unsets) an environment variable and restores it on destruction.
class EnvVar {
public:
  EnvVar(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    value ? setenv(name, value->c_str(), 1) : unsetenv(name);
  }
  ~EnvVar() { saved_ ? setenv(name_, saved_->c_str(), 1) : unsetenv(name_); }

private:
  const char* name_;
  std::optional<std::string> saved_;
};

Config load(const std::string& path, const std::string& text, bool expect_ok = true) {
  std::string err;
  REQUIRE(util::write_whole_file(path, text, err));
  Config c;
  CHECK(c.load_file(path, err) == expect_ok);
  return c;
}

}  // namespace

TEST_CASE("settings files load with comments, merging and exact error lines") {
  Scratch dir;
  const std::string f = dir / "launcher.conf";
  std::string err;
  SECTION("the usual shapes of a line") {
    const Config c = load(f,
                          "# comment\r\nserver_url = https://h.example \n\nchannel=dev # note\n"
                          "a = b = c\nempty =\nhash = x#y\nChannel = X\nchannel = stable\n"
                          "self_update = false\ninsecure_tls = 1");
    CHECK(c.get_string("server_url") == "https://h.example");
    CHECK(c.get_string("channel") == "stable");
    CHECK(c.get_string("Channel") == "X");
    CHECK(c.get_string("a") == "b = c");
    CHECK(c.values.at("empty").empty());
    CHECK(c.get_string("hash") == "x");
    CHECK_FALSE(c.get_bool("self_update", true));
    CHECK(c.get_bool("insecure_tls", false));
  }
  SECTION("errors name the physical line and keep earlier lines") {
    util::write_whole_file(f, "ok = 1\n# c\n\nno separator here\nlater = 2\n", err);
    Config c;
    c.set_string("ok", "0");
    c.set_string("kept", "k");
    CHECK_FALSE(c.load_file(f, err));
    CHECK(err == "invalid line 4 in " + f);
    CHECK(c.values == Map{{"ok", "1"}, {"kept", "k"}});
    load(f, "\n= x\n", false);
    CHECK_FALSE(Config().load_file(f, err));
    CHECK(err == "empty key on line 2 in " + f);
  }
  SECTION("a missing file or a directory cannot be opened and changes nothing") {
    for (const std::string& path : {dir / "missing.conf", dir.root}) {
      Config c;
      c.set_string("k", "v");
      CHECK_FALSE(c.load_file(path, err));
      CHECK(err == "could not open config file: " + path);
      CHECK(c.values.size() == 1);
    }
  }
}

TEST_CASE("typed getters fall back to the default on anything unclear") {
  Config c;
  const std::pair<const char*, const char*> vals[] = {
      {"yes", " YES \t"}, {"one", "1"},     {"no", "nO"},    {"on", "on"},
      {"two", "2"},       {"blank", ""},    {"n42", "42"},   {"neg", " -7 "},
      {"pos", "+5"},      {"junk", "12ab"}, {"word", "abc"}, {"big", "99999999999999999999"},
      {"ff", "\f5"},
  };
  for (const auto& [k, v] : vals) c.set_string(k, v);
  CHECK(c.get_bool("yes", false));
  CHECK(c.get_bool("one", false));
  CHECK_FALSE(c.get_bool("no", true));
  for (const char* k : {"on", "two", "blank", "missing"}) {
    CHECK(c.get_bool(k, true));
    CHECK_FALSE(c.get_bool(k, false));
  }
  CHECK(c.get_s64("n42", 0) == 42);
  CHECK(c.get_s64("neg", 0) == -7);
  CHECK(c.get_s64("pos", 0) == 5);
  CHECK(c.get_s64("ff", 0) == 5);
  for (const char* k : {"junk", "word", "blank", "missing"}) CHECK(c.get_s64(k, -3) == -3);
  CHECK(c.get_s64("big", 0) == INT64_MAX);
  CHECK(c.get_string("blank", "d") == "d");
  CHECK(c.get_string("yes") == " YES \t");
}

TEST_CASE("defaults fill only missing keys and saving writes the exact format") {
  Scratch dir;
  std::string err, text;
  Config c;
  c.set_string("data_dir", "");
  c.set_string("channel", "dev");
  Config::apply_defaults(c);
  CHECK(c.values == Map{{"server_url", kDefaultServerUrl},
                        {"channel", "dev"},
                        {"data_dir", ""},
                        {"update_on_launch", "true"},
                        {"self_update", "true"},
                        {"insecure_tls", "false"}});
  CHECK(std::string(kDefaultServerUrl).size() == 31);

  REQUIRE(Config().save_file(dir / "empty.cfg", err));
  REQUIRE(util::read_whole_file(dir / "empty.cfg", text, err));
  CHECK(text == "# Quillstep launcher configuration\n");

  Config s;
  s.set_string("b", "");
  s.set_string("a", " two words ");
  REQUIRE(s.save_file(dir / "sub/state.cfg", err));
  REQUIRE(util::read_whole_file(dir / "sub/state.cfg", text, err));
  CHECK(text == "# Quillstep launcher configuration\na =  two words \nb = \n");
  Config back;
  REQUIRE(back.load_file(dir / "sub/state.cfg", err));
  CHECK(back.values == Map{{"a", "two words"}, {"b", ""}});

  CHECK_FALSE(s.save_file(dir / "sub/state.cfg/x", err));
  CHECK(err == "could not create directory: " + (dir / "sub/state.cfg"));
}

TEST_CASE("the data layout follows the override or the XDG variables") {
  SECTION("an override moves the data layout, not the settings file") {
    EnvVar xdg("XDG_CONFIG_HOME", "/cfg");
    const paths::LauncherPaths p = paths::get_paths("/base/quil/");
    CHECK(p.data_dir == "/base/quil/");
    CHECK(p.cache_dir == "/base/quil/cache");
    CHECK(p.engine_root == "/base/quil/engine");
    CHECK(p.games_dir == "/base/quil/games");
    CHECK(p.worlds_dir == "/base/quil/worlds");
    CHECK(p.state_file == "/base/quil/state.cfg");
    CHECK(p.engine_dir("1.2.3") == "/base/quil/engine/1.2.3");
    CHECK(p.config_file == "/cfg/quillstep/launcher.conf");
  }
  SECTION("XDG variables win, empty ones fall back to HOME") {
    EnvVar home("HOME", "/home/u"), data("XDG_DATA_HOME", "/xd"), conf("XDG_CONFIG_HOME", "");
    const paths::LauncherPaths p = paths::get_paths("");
    CHECK(p.data_dir == "/xd/quillstep");
    CHECK(p.config_file == "/home/u/.config/quillstep/launcher.conf");
    EnvVar data2("XDG_DATA_HOME", "");
    CHECK(paths::get_os_data_dir() == "/home/u/.local/share");
  }
  SECTION("with no variables nothing is created") {
    EnvVar home("HOME", std::nullopt), data("XDG_DATA_HOME", std::nullopt),
        conf("XDG_CONFIG_HOME", std::nullopt);
    const paths::LauncherPaths p = paths::get_paths("");
    CHECK(p.data_dir.empty());
    CHECK(p.cache_dir == "cache");
    CHECK(p.config_file == "launcher.conf");
    std::string err;
    CHECK_FALSE(paths::ensure_dirs(p, err));
    CHECK(err == "could not create directory: ");
  }
}

TEST_CASE("ensure_dirs creates the tree and names what it could not create") {
  Scratch dir;
  std::string err;
  paths::LauncherPaths p = paths::get_paths(dir / "data");
  p.config_file = dir / "conf/launcher.conf";
  REQUIRE(paths::ensure_dirs(p, err));
  REQUIRE(paths::ensure_dirs(p, err));
  for (const std::string& d : {p.cache_dir, p.engine_root, p.games_dir, p.worlds_dir, dir / "conf"})
    CHECK(util::is_directory(d));
  CHECK_FALSE(util::path_exists(p.config_file));

  REQUIRE(util::write_whole_file(dir / "blocker", "", err));
  p.config_file = dir / "blocker/launcher.conf";
  CHECK_FALSE(paths::ensure_dirs(p, err));
  CHECK(err == "could not create config directory: " + (dir / "blocker/"));
  p.games_dir = dir / "blocker/games";
  CHECK_FALSE(paths::ensure_dirs(p, err));
  CHECK(err == "could not create directory: " + p.games_dir);
}

TEST_CASE("engine_binary prefers quillstep over luanti and needs something real") {
  Scratch dir;
  std::string err;
  paths::LauncherPaths p = paths::get_paths(dir.root);
  const std::string bin = p.engine_dir("1.0") + "/bin/";
  CHECK(p.engine_binary("1.0").empty());
  fs::create_directories(bin);
  fs::create_symlink(dir / "nowhere", bin + "quillstep");
  REQUIRE(util::write_whole_file(bin + "luanti", "", err));
  CHECK(p.engine_binary("1.0") == bin + "luanti");
  fs::remove(bin + "quillstep");
  REQUIRE(util::write_whole_file(bin + "quillstep", "", err));
  CHECK(p.engine_binary("1.0") == bin + "quillstep");
  CHECK(p.engine_binary("").empty());

  CHECK(util::path_exists(paths::get_executable_path()));
  CHECK(std::string(paths::platform_key()) == "linux-x64");
}
