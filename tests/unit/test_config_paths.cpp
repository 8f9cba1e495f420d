#include <catch2/catch_test_macros.hpp>

#include "config.h"
#include "paths.h"
#include "test_server.h"

using testsupport::put;
using Map = std::map<std::string, std::string>;

TEST_CASE("settings files: line shapes, errors naming the line or path, earlier lines kept") {
  testsupport::Scratch dir;
  const std::string f = dir / "launcher.conf";
  std::string err;
  Config c;
  REQUIRE(c.load_file(
      put(f, "# c\nchannel=dev # note\na = b = c\r\nhash = x#y\nChannel = X\nchannel = s\n"), err));
  CHECK(c.values == Map{{"channel", "s"}, {"Channel", "X"}, {"a", "b = c"}, {"hash", "x"}});
  c.values = {{"yes", " YES \t"}, {"2x", "2x"}, {"n", " -12 "}};  // only 1/true/yes and 0/false/no
  CHECK(c.get_bool("yes", false));
  for (const char* k : {"2x", "n"}) CHECK((c.get_bool(k, true) && !c.get_bool(k, false)));
  CHECK((c.get_s64("n", 7) == -12 && c.get_s64("2x", 7) == 7));

  c.values = {{"ok", "0"}, {"kept", "k"}};
  CHECK_FALSE(c.load_file(put(f, "ok = 1\n# c\n\nno separator here\nlater = 2\n"), err));
  CHECK(err == "invalid line 4 in " + f);
  CHECK(c.values == Map{{"ok", "1"}, {"kept", "k"}});
  CHECK_FALSE(Config().load_file(put(f, "\n= x\n"), err));
  CHECK(err == "empty key on line 2 in " + f);
  CHECK_FALSE(c.load_file(dir.root, err));
  CHECK(err == "could not open config file: " + dir.root);
  paths::LauncherPaths p = paths::get_paths(dir / "data");
  p.config_file = f + "/launcher.conf";  // its directory would be the settings file
  CHECK_FALSE(paths::ensure_dirs(p, err));
  CHECK(err == "could not create config directory: " + f + "/");
}
