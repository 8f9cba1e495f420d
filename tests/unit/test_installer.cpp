#include <fcntl.h>
#include <unistd.h>

#include <catch2/catch_test_macros.hpp>

#include "installer.h"
#include "selfupdate.h"
#include "test_server.h"

namespace fs = std::filesystem;
using testsupport::put;
using testsupport::Scratch;
using testsupport::slurp;

TEST_CASE("move_tree onto a non-empty directory replaces it with a copy of the source") {
  Scratch s;
  std::string err;
  put(s / "src/a/b.txt", "new");
  put(s / "dst/stale.txt", "old");
  put(s / "dst/a/b.txt", "old");
  REQUIRE(installer::move_tree(s / "src", s / "dst", err));
  CHECK(slurp(s / "dst/a/b.txt") == "new");
  CHECK_FALSE((fs::exists(s / "dst/stale.txt") || fs::exists(s / "src")));
}

TEST_CASE("check_version accepts only one plain path component") {
  std::string err;
  for (const std::string v : {"", ".", "..", "../x", "a/b", "a\\b", "/abs", "C:x", "c:"})
    CHECK_FALSE(installer::check_version("engine", v, err));
  CHECK_FALSE(installer::check_version("engine", std::string("1.0\0/x", 6), err));
  CHECK(err == "engine build has an unsafe version name: '1.0\\x00/x'");
  for (const char* v : {"5.17.0-quil.0", "1..2", ".hidden", "0.2.0+build:7", "C", "2:1.0"})
    CHECK(installer::check_version("game", v, err));
}

TEST_CASE("replace_executable swaps in the new launcher or leaves the old one") {
  Scratch s;
  const std::string target = put(s / "bin/launcher", "old");
  put(s / "bin/launcher.old", "stale from an interrupted run");
  std::string err;
  SECTION("success") {
    REQUIRE(selfupdate::replace_executable(put(s / "stage/new", "new"), target, err));
    CHECK(slurp(target) == "new");
    CHECK((fs::status(target).permissions() & fs::perms::all) == fs::perms(0755));
  }
  SECTION("a new file that cannot be moved") {
    CHECK_FALSE(selfupdate::replace_executable(s / "stage/none", target, err));
    CHECK(slurp(target) == "old");
  }
  for (const auto& e : fs::directory_iterator(s / "bin")) CHECK(e.path() == target);
}

TEST_CASE("confirm reads one whole answer line per question") {
  Scratch s;
  // The tail of an over-long first line must not answer the second question.
  const std::string answers = put(s / "answers", "y" + std::string(100, 'n') + "\nyes\nNope\n");
  const int saved = dup(0), fd = open(answers.c_str(), O_RDONLY);
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
