#include <catch2/catch_test_macros.hpp>
#include <string>
#include <vector>

#include "temp_dir.h"
#include "util.h"

TEST_CASE("util string helpers") {
  CHECK(util::trim("  a\tb \r\n") == "a\tb");
  CHECK(util::trim("") == "");
  CHECK(util::trim("   ") == "");

  std::vector<std::string> parts = util::split("a,bb,,c", ',');
  REQUIRE(parts.size() == 4);
  CHECK(parts[0] == "a");
  CHECK(parts[1] == "bb");
  CHECK(parts[2] == "");
  CHECK(parts[3] == "c");

  CHECK(util::starts_with("https://x", "https://"));
  CHECK_FALSE(util::starts_with("http://x", "https://"));
  CHECK(util::ends_with("file.ZIP", "ZIP"));
  CHECK(util::lower("MiXeD") == "mixed");

  CHECK(util::join_paths("a/b", "c") == "a/b/c");
  CHECK(util::join_paths("a/b/", "c") == "a/b/c");
  CHECK(util::join_paths("a/b", "/abs") == "/abs");
  CHECK(util::join_paths("", "x") == "x");
}

TEST_CASE("util version comparison") {
  CHECK(util::compare_versions("0.1.0", "0.1.0") == 0);
  CHECK(util::compare_versions("0.1.0", "0.1.1") < 0);
  CHECK(util::compare_versions("0.2.0", "0.10.0") < 0);
  CHECK(util::compare_versions("1.0.0", "0.999.999") > 0);
  CHECK(util::compare_versions("5.17.0-quil.0", "5.17.0") < 0);
  CHECK(util::compare_versions("5.17.0-quil.10", "5.17.0-quil.2") > 0);
  CHECK(util::compare_versions("5.17.0-quil.1", "5.17.1-quil.0") < 0);
}

TEST_CASE("util file helpers") {
  TestTempDir tmp("util");
  std::string err;

  SECTION("read/write roundtrip") {
    REQUIRE(util::write_whole_file(tmp.file("x.dat"), "hello", err));
    std::string out;
    REQUIRE(util::read_whole_file(tmp.file("x.dat"), out, err));
    CHECK(out == "hello");
    CHECK_FALSE(util::path_exists(tmp.file("x.dat.tmp")));
  }

  SECTION("make_dirs nested") {
    REQUIRE(util::make_dirs(tmp.file("a/b/c")));
    CHECK(util::is_directory(tmp.file("a/b/c")));
  }

  SECTION("remove_tree") {
    REQUIRE(util::make_dirs(tmp.file("t/a/b")));
    REQUIRE(util::write_whole_file(tmp.file("t/a/b/f"), "x", err));
    REQUIRE(util::remove_tree(tmp.file("t")));
    CHECK_FALSE(util::path_exists(tmp.file("t")));
  }

  SECTION("format_bytes") {
    CHECK(util::format_bytes(999) == "999 B");
    CHECK(util::format_bytes(2048) == "2.0 KiB");
    CHECK(util::format_bytes(5ull * 1024 * 1024) == "5.0 MiB");
  }
}

TEST_CASE("util sha256") {
  TestTempDir tmp("sha256");
  std::string err;

  REQUIRE(util::write_whole_file(tmp.file("abc"), "abc", err));
  CHECK(util::sha256_file(tmp.file("abc")) ==
        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  REQUIRE(util::write_whole_file(tmp.file("empty"), std::string(), err));
  CHECK(util::sha256_file(tmp.file("empty")) ==
        "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  CHECK(util::sha256_file(tmp.file("missing")) == "");

  const unsigned char bytes[] = {0x00, 0xff, 0x7f};
  CHECK(util::hex_encode(bytes, 3) == "00ff7f");
}
