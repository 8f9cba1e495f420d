#include <catch2/catch_test_macros.hpp>
#include <string>

#include "paths.h"
#include "temp_dir.h"
#include "util.h"

TEST_CASE("paths: platform key") {
  const char* key = paths::platform_key();
  CHECK(std::string(key) == "linux-x64");
}

TEST_CASE("paths: derived layout") {
  paths::LauncherPaths p = paths::get_paths("/base/quil");
  CHECK(p.data_dir == "/base/quil");
  CHECK(p.cache_dir == "/base/quil/cache");
  CHECK(p.engine_root == "/base/quil/engine");
  CHECK(p.games_dir == "/base/quil/games");
  CHECK(p.worlds_dir == "/base/quil/worlds");
  CHECK(p.state_file == "/base/quil/state.cfg");
  CHECK(p.engine_dir("1.2.3") == "/base/quil/engine/1.2.3");
}

TEST_CASE("paths: engine binary discovery") {
  TestTempDir tmp("paths");
  std::string err;
  paths::LauncherPaths p = paths::get_paths(tmp.file("data"));

  SECTION("nothing installed") { CHECK(p.engine_binary("0.0.0").empty()); }

  SECTION("upstream name is found") {
    REQUIRE(util::write_whole_file(p.engine_dir("9.9.9") + "/bin/luanti", "x", err));
    CHECK(p.engine_binary("9.9.9") == p.engine_dir("9.9.9") + "/bin/luanti");
  }

  SECTION("renamed binary wins when both exist") {
    REQUIRE(util::write_whole_file(p.engine_dir("8.8.8") + "/bin/luanti", "x", err));
    REQUIRE(util::write_whole_file(p.engine_dir("8.8.8") + "/bin/quillstep", "x", err));
    CHECK(p.engine_binary("8.8.8") == p.engine_dir("8.8.8") + "/bin/quillstep");
  }
}

TEST_CASE("paths: executable path") {
  std::string exe = paths::get_executable_path();
  if (!exe.empty()) {
    CHECK(util::path_exists(exe));
  }
}

TEST_CASE("paths: ensure_dirs") {
  TestTempDir tmp("paths-ensure");
  std::string err;
  paths::LauncherPaths p = paths::get_paths(tmp.file("root"));
  // Keep the settings file's directory inside the fixture too.
  p.config_file = tmp.file("conf/launcher.conf");

  REQUIRE(paths::ensure_dirs(p, err));
  CHECK(util::is_directory(p.data_dir));
  CHECK(util::is_directory(p.cache_dir));
  CHECK(util::is_directory(p.engine_root));
  CHECK(util::is_directory(p.games_dir));
  CHECK(util::is_directory(p.worlds_dir));
  CHECK(util::is_directory(tmp.file("conf")));
}
