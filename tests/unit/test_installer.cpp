#include <fcntl.h>
#include <unistd.h>

#include <catch2/catch_test_macros.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "gamelaunch.h"
#include "installer.h"
#include "selfupdate.h"
#include "util.h"

namespace fs = std::filesystem;

namespace {

// A fresh directory under the system's temporary directory, removed with the object.
struct Scratch {
  fs::path root;
  std::string path(const std::string& name) const { return (root / name).string(); }
  Scratch() {
    std::string tmpl = (fs::temp_directory_path() / "qs-installer-XXXXXX").string();
    root = mkdtemp(tmpl.data());
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  std::string put(const std::string& name, const std::string& body,
                  fs::perms mode = fs::perms(0644)) const {
    fs::path p = root / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << body;
    fs::permissions(p, mode);
    return p.string();
  }
  std::string read(const std::string& name) const {
    std::string out, err;
    util::read_whole_file(path(name), out, err);
    return out;
  }
  bool has(const std::string& name) const { return fs::exists(fs::symlink_status(root / name)); }
};

installer::Env env_in(const Scratch& s) {
  installer::Env env;
  env.paths.state_file = (s.root / "data" / "state.cfg").string();
  env.paths.engine_root = (s.root / "engine").string();
  env.paths.games_dir = (s.root / "games").string();
  env.paths.worlds_dir = (s.root / "worlds").string();
  return env;
}

}  // namespace

TEST_CASE("move_tree leaves the destination holding exactly the source's tree") {
  Scratch s;
  s.put("src/a/b.txt", "new");
  std::string err;
  SECTION("a plain rename") { REQUIRE(installer::move_tree(s.path("src"), s.path("dst"), err)); }
  SECTION("onto a non-empty directory the copy fallback replaces it") {
    s.put("dst/stale.txt", "old");
    s.put("dst/a/b.txt", "old");
    REQUIRE(installer::move_tree(s.path("src"), s.path("dst"), err));
    CHECK_FALSE(s.has("dst/stale.txt"));
  }
  CHECK(s.read("dst/a/b.txt") == "new");
  CHECK_FALSE(s.has("src"));
  CHECK(err.empty());
}

TEST_CASE("check_version accepts only one plain path component") {
  const std::vector<std::string> refused = {
      "", ".", "..", "../x", "a/b", "a\\b", "/abs", "C:x", "c:", std::string("1.0\0/x", 6)};
  std::string err;
  for (const auto& v : refused) CHECK_FALSE(installer::check_version("engine", v, err));
  CHECK(err == "engine build has an unsafe version name: '1.0\\x00/x'");
  for (const char* v : {"5.17.0-quil.0", "1..2", ".hidden", "0.2.0+build:7", "C", "2:1.0"}) {
    err.clear();
    CHECK(installer::check_version("game", v, err));
    CHECK(err.empty());
  }
}

TEST_CASE("an unsafe version is refused before anything is removed") {
  Scratch s;
  installer::Env env = env_in(s);
  s.put("engine/1.0/bin/quillstep", "x");
  s.put("games/quillstep/game.conf", "x");
  manifest::Build build;
  build.version = "..";
  std::string err;
  CHECK_FALSE(installer::install_engine(env, build, true, err));
  CHECK_FALSE(installer::install_game(env, build, true, err));
  CHECK(err == "game build has an unsafe version name: '..'");
  CHECK(s.has("engine/1.0/bin/quillstep"));
  CHECK(s.has("games/quillstep/game.conf"));
}

TEST_CASE("installed versions are kept in the state file beside other keys") {
  Scratch s;
  installer::Env env = env_in(s);
  std::string err;
  CHECK(installer::get_installed_version(env, "game_version").empty());
  REQUIRE(installer::set_installed_version(env, "game_version", "0.2.0", err));
  CHECK(installer::get_installed_version(env, "game_version") == "0.2.0");

  SECTION("another record keeps every key already there") {
    s.put("data/state.cfg", s.read("data/state.cfg") + "custom = 1\n");
    REQUIRE(installer::set_installed_version(env, "engine_version", "5.17.0", err));
    CHECK(installer::get_installed_version(env, "game_version") == "0.2.0");
    CHECK(installer::get_installed_version(env, "custom") == "1");
  }
  SECTION("a damaged file counts up to its bad line") {
    s.put("data/state.cfg", "game_version = 0.1.0\nno separator\nengine_version = 9\n");
    CHECK(installer::get_installed_version(env, "engine_version").empty());
    REQUIRE(installer::set_installed_version(env, "custom", "x", err));
    CHECK(s.read("data/state.cfg").find("no separator") == std::string::npos);
    CHECK(installer::get_installed_version(env, "game_version") == "0.1.0");
  }
  CHECK(err.empty());
}

TEST_CASE("find_engine_binary prefers quillstep, then luanti, and nothing else") {
  Scratch s;
  CHECK(installer::find_engine_binary("").empty());
  s.put("e/bin/luanti.exe", "");
  CHECK(installer::find_engine_binary(s.path("e")).empty());
  s.put("e/bin/luanti", "");
  CHECK(installer::find_engine_binary(s.path("e")) == s.path("e/bin/luanti"));
  s.put("e/bin/quillstep", "");
  CHECK(installer::find_engine_binary(s.path("e")) == s.path("e/bin/quillstep"));
}

TEST_CASE("launch runs the engine with the game's directories and passes its outcome on") {
  Scratch s;
  installer::Env env = env_in(s);
  const std::string record = s.path("argv.txt");
  auto engine = [&](const std::string& tail, fs::perms mode = fs::perms(0755)) {
    return s.put("engine/1.0/bin/quillstep",
                 "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > '" + record + "'\n" + tail, mode);
  };
  std::string err;
  SECTION("the exact argument vector, an empty extra argument included") {
    const std::string bin = engine("exit 0\n");
    CHECK(gamelaunch::launch(env, "1.0", {"--go", ""}, err) == 0);
    CHECK(s.read("argv.txt") == bin + "\n--game-dir\n" + env.paths.games_dir + "\n--world-dir\n" +
                                    env.paths.worlds_dir + "\n--gameid\nquillstep\n--go\n\n");
  }
  SECTION("exit status and signals") {
    engine("exit 3\n");
    CHECK(gamelaunch::launch(env, "1.0", {}, err) == 3);
    engine("kill -KILL $$\n");
    CHECK(gamelaunch::launch(env, "1.0", {}, err) == 128 + 9);
  }
  SECTION("a binary that cannot be executed ends the child with 127") {
    engine("exit 0\n", fs::perms(0644));
    CHECK(gamelaunch::launch(env, "1.0", {}, err) == 127);
    CHECK_FALSE(s.has("argv.txt"));
  }
  CHECK(err.empty());
}

TEST_CASE("launch starts nothing for a version without an engine binary") {
  Scratch s;
  installer::Env env = env_in(s);
  s.put("engine/2.0/bin/quillstep.exe", "#!/bin/sh\ntouch '" + s.path("ran") + "'\n",
        fs::perms(0755));
  std::string err;
  CHECK(gamelaunch::launch(env, "2.0", {}, err) == -1);
  CHECK(err == "engine 2.0 is not installed (run: quillstep update)");
  CHECK_FALSE(s.has("ran"));
}

TEST_CASE("replace_executable swaps in the new launcher with one rename") {
  Scratch s;
  const std::string target = s.put("bin/launcher", "old");
  s.put("bin/launcher.old", "stale from an interrupted run");
  std::string err;
  SECTION("success leaves only the new executable") {
    REQUIRE(selfupdate::replace_executable(s.put("stage/quillstep-launcher", "new"), target, err));
    CHECK(s.read("bin/launcher") == "new");
    CHECK((fs::status(target).permissions() & fs::perms::all) == fs::perms(0755));
    CHECK_FALSE(s.has("stage/quillstep-launcher"));
  }
  SECTION("a new file that cannot be moved leaves the old one in place") {
    CHECK_FALSE(selfupdate::replace_executable(s.path("stage/none"), target, err));
    CHECK_FALSE(err.empty());
    CHECK(s.read("bin/launcher") == "old");
  }
  CHECK_FALSE(s.has("bin/launcher.old"));
  CHECK_FALSE(s.has("bin/launcher.new"));
}

TEST_CASE("confirm reads one whole answer line per question") {
  Scratch s;
  // The tail of an over-long first line must not answer the second question.
  const std::string answers = "y" + std::string(100, 'n') + "\nyes\nNope\n";
  const int saved = dup(0);
  const int fd = open(s.put("answers", answers).c_str(), O_RDONLY);
  dup2(fd, 0);
  close(fd);
  clearerr(stdin);
  CHECK(installer::confirm("1? "));
  CHECK(installer::confirm("2? "));
  CHECK_FALSE(installer::confirm("3? "));
  CHECK(installer::confirm("4? "));  // end of input accepts
  dup2(saved, 0);
  close(saved);
  clearerr(stdin);
  std::printf("\n");
}
