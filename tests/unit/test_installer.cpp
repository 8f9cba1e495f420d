#include <unistd.h>

#include <catch2/catch_test_macros.hpp>

#include "installer.h"
#include "paths.h"
#include "selfupdate.h"
#include "test_server.h"

using namespace testsupport;

TEST_CASE("check_version accepts one plain path component, and for state.cfg what it keeps") {
  using installer::Recorded;
  std::string err;
  for (const std::string v : {"", ".", "..", "../x", "a/b", "a\\b", "/abs", "C:x", "c:"})
    for (Recorded r : {Recorded::kYes, Recorded::kNo})
      CHECK_FALSE(installer::check_version("engine", v, r, err));
  CHECK_FALSE(installer::check_version("launcher", std::string("1.0\0x", 5), Recorded::kNo, err));
  CHECK(err == "launcher build has an unsafe version name: '1.0\\x00x'");
  for (const std::string v : {"2.0#x", "2.0\nk = v", "2.0\r", "\x1b[2J", "\x7f", " 2.0", "2.0 "}) {
    CHECK_FALSE(installer::check_version("engine", v, Recorded::kYes, err));
    CHECK(installer::check_version("launcher", v, Recorded::kNo, err));  // never recorded
  }
  for (const char* v : {"5.17.0-quil.0", "1..2", ".hidden", "0.2.0+build:7", "C", "2:1.0", "1 rc"})
    CHECK(installer::check_version("game", v, Recorded::kYes, err));
}

TEST_CASE("self-update replaces only the file this process runs from") {
  Scratch s;
  std::string err;
  const std::string own = paths::get_executable_path(), deleted = s / "t (deleted)";
  CHECK(selfupdate::can_replace(own, err));
  REQUIRE(link(own.c_str(), deleted.c_str()) == 0);  // that name, even for the same file
  for (const std::string& other : {deleted, put(s / "other", "x"), std::string()})
    CHECK_FALSE(selfupdate::can_replace(other, err));
  CHECK(err == "could not determine the path of my own executable");
}

TEST_CASE("confirm reads one whole answer line per question") {
  Scratch s;
  // The tail of an over-long first line must not answer the second question.
  const std::string answers = put(s / "answers", "y" + std::string(100, 'n') + "\nyes\nNope\n");
  REQUIRE(std::freopen(answers.c_str(), "r", stdin));
  CHECK(installer::confirm("1? "));
  CHECK(installer::confirm("2? "));
  CHECK_FALSE(installer::confirm("3? "));
  CHECK(installer::confirm("4? "));  // end of input accepts
  std::printf("\n");
}

TEST_CASE("move_tree onto a non-empty directory leaves only the source's files") {
  Scratch s;
  std::string err;
  put(s / "new/a", "new");
  put(s / "old/stale", "old");
  REQUIRE(installer::move_tree(s / "new", s / "old", err));
  CHECK(slurp(s / "old/a") == "new");
  for (const char* gone : {"old/stale", "new"}) CHECK(access((s / gone).c_str(), F_OK) != 0);
}
