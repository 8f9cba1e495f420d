#include <catch2/catch_test_macros.hpp>
#include <optional>

#include "config.h"
#include "installer.h"
#include "paths.h"
#include "test_server.h"
#include "util.h"

using testsupport::put;
using testsupport::Scratch;
using testsupport::slurp;
using Map = std::map<std::string, std::string>;

namespace {

// Sets (or with nullopt unsets) an environment variable and restores it on destruction.
struct EnvVar {
  const char* name;
  const char* old = std::getenv(name);
  std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  EnvVar(const char* n, std::optional<std::string> v) : name(n) {
    v ? setenv(n, v->c_str(), 1) : unsetenv(n);
  }
  ~EnvVar() { saved ? setenv(name, saved->c_str(), 1) : unsetenv(name); }
};

}  // namespace

TEST_CASE("settings files: line shapes, the physical line of an error, earlier lines kept") {
  Scratch dir;
  const std::string f = dir / "launcher.conf";
  std::string err;
  Config c;
  REQUIRE(c.load_file(put(f,
                          "# c\r\nchannel=dev # note\na = b = c\nhash = x#y\nChannel = X\n"
                          "channel = stable\n"),
                      err));
  CHECK(c.values == Map{{"channel", "stable"}, {"Channel", "X"}, {"a", "b = c"}, {"hash", "x"}});
  c.values = {{"yes", " YES \t"}, {"on", "on"}, {"two", "2"}};  // only 1/true/yes and 0/false/no
  CHECK(c.get_bool("yes", false));
  for (const char* k : {"on", "two"}) CHECK((c.get_bool(k, true) && !c.get_bool(k, false)));

  c.values = {{"ok", "0"}, {"kept", "k"}};
  CHECK_FALSE(c.load_file(put(f, "ok = 1\n# c\n\nno separator here\nlater = 2\n"), err));
  CHECK(err == "invalid line 4 in " + f);
  CHECK(c.values == Map{{"ok", "1"}, {"kept", "k"}});
  CHECK_FALSE(Config().load_file(put(f, "\n= x\n"), err));
  CHECK(err == "empty key on line 2 in " + f);
  CHECK_FALSE(c.load_file(dir.root, err));
  CHECK(err == "could not open config file: " + dir.root);
}

TEST_CASE("the data layout follows the override, then XDG variables, then HOME") {
  EnvVar home("HOME", "/home/u"), data("XDG_DATA_HOME", "/xd"), conf("XDG_CONFIG_HOME", "");
  CHECK(paths::get_paths("/base/quil/").config_file == "/home/u/.config/quillstep/launcher.conf");
  CHECK(paths::get_paths("").data_dir == "/xd/quillstep");
  EnvVar data2("XDG_DATA_HOME", "");
  CHECK(paths::get_os_data_dir() == "/home/u/.local/share");
  EnvVar nohome("HOME", std::nullopt);
  const paths::LauncherPaths p = paths::get_paths("");
  CHECK((p.data_dir.empty() && p.config_file == "launcher.conf"));
  std::string err;
  CHECK_FALSE(paths::ensure_dirs(p, err));  // never creates relative to the working directory
}

TEST_CASE("the engine binary is quillstep, else luanti, and must really exist") {
  Scratch dir;
  const paths::LauncherPaths p = paths::get_paths(dir.root);
  put(p.engine_dir("1.0") + "/bin/luanti.exe", "");
  CHECK(p.engine_binary("1.0").empty());
  std::filesystem::create_symlink(dir / "nowhere", p.engine_dir("1.0") + "/bin/quillstep");
  CHECK(p.engine_binary("1.0") == put(p.engine_dir("1.0") + "/bin/luanti", ""));
  CHECK(installer::find_engine_binary(p.engine_dir("1.0")) == p.engine_binary("1.0"));
}
