#include <unistd.h>

#include <catch2/catch_test_macros.hpp>

#include "installer.h"
#include "paths.h"
#include "selfupdate.h"
#include "test_server.h"

using namespace testsupport;

TEST_CASE("check_version accepts only one plain path component") {
  std::string err;
  for (const std::string v : {"", ".", "..", "../x", "a/b", "a\\b", "/abs", "C:x", "c:", "2.0#x",
                              "2.0\nk = v", "2.0\r", "\x1b[2J", "\x7f", " 2.0", "2.0 "})
    CHECK_FALSE(installer::check_version("engine", v, err));
  CHECK_FALSE(installer::check_version("engine", std::string("1.0\0/x", 6), err));
  CHECK(err == "engine build has an unsafe version name: '1.0\\x00/x'");
  for (const char* v : {"5.17.0-quil.0", "1..2", ".hidden", "0.2.0+build:7", "C", "2:1.0", "1 rc"})
    CHECK(installer::check_version("game", v, err));
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
