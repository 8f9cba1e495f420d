#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <catch2/catch_test_macros.hpp>
#include <filesystem>
#include <string>

#include "util.h"

namespace fs = std::filesystem;

namespace {

// A fresh directory of its own under the system temp dir, removed with everything in it.
struct Scratch {
  std::string root;
  Scratch() {
    static int count = 0;
    root = (fs::temp_directory_path() /
            ("quillstep-unit-util-" + std::to_string(getpid()) + "-" + std::to_string(++count)))
               .string();
    fs::create_directories(root);
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  std::string operator/(const std::string& rel) const { return root + "/" + rel; }
};

std::string read_back(const std::string& path) {
  std::string out, err;
  REQUIRE(util::read_whole_file(path, out, err));
  return out;
}

void put(const std::string& path, const std::string& content) {
  std::string err;
  REQUIRE(util::write_whole_file(path, content, err));
}

}  // namespace

TEST_CASE("versions order by identifiers, pre-release below release, and swapping negates") {
  struct Row {
    const char *a, *b;
    int r;
  };
  // The last row: bytes above 0x7f compare as unsigned.
  // clang-format off
  const Row rows[] = {
    {"0.1.0", "0.1.0", 0}, {"0.1.0", "0.1.1", -1}, {"0.2.0", "0.10.0", -1},
    {"1.0.0", "0.999.999", 1}, {"5.17.0-quil.0", "5.17.0", -1},
    {"5.17.0-quil.10", "5.17.0-quil.2", 1}, {"5.17.0-quil.1", "5.17.1-quil.0", -1}, {"", "", 0},
    {"", "0", -1}, {"", "-rc", 1}, {"1.0", "1.0.0", -1}, {"1.0.", "1.0", 0}, {"1.07", "1.7", 0},
    {"1.10", "1.9", 1}, {"1.0+a", "1.0+b", 0}, {"1.0.0-quil.0+build", "1.0.0-quil.0", 0},
    {"1.0+b-c", "1.0", 0}, {"1.0-", "1.0", 0}, {"1.0-rc.1", "1.0", -1},
    {"1.0-alpha", "1.0-alpha.1", -1}, {"1.0-alpha.1", "1.0-alpha.beta", -1},
    {"1.0-beta.11", "1.0-beta.2", 1}, {"1.0-rc-1", "1.0-rc.1", 1}, {"1.0a", "1.0", 1},
    {"1.x", "1.10", 1}, {"1..2", "1.0.2", 1}, {"A", "a", -1},
    {"18446744073709551616", "18446744073709551615", 0}, {"1.\xe9", "1.z", 1},
  };
  // clang-format on
  for (const Row& row : rows) {
    INFO(row.a << " vs " << row.b);
    CHECK(util::compare_versions(row.a, row.b) == row.r);
    CHECK(util::compare_versions(row.b, row.a) == -row.r);
  }
}

TEST_CASE("text helpers: trim, split, join_paths, format_bytes, hex") {
  CHECK(util::trim("  a\tb \r\n") == "a\tb");
  CHECK(util::trim(" \t\r\n") == "");
  CHECK(util::trim("\va\f") == "\va\f");
  CHECK(util::lower("MiXeD\xc4") == "mixed\xc4");
  CHECK(util::starts_with("", ""));
  CHECK_FALSE(util::starts_with("ab", "abc"));
  CHECK_FALSE(util::ends_with("file.ZIP", "zip"));

  using V = std::vector<std::string>;
  CHECK(util::split("a,bb,,c", ',') == V{"a", "bb", "", "c"});
  CHECK(util::split("a,", ',') == V{"a"});
  CHECK(util::split("a,,", ',') == V{"a", ""});
  CHECK(util::split(",a", ',') == V{"", "a"});
  CHECK(util::split(",", ',') == V{""});
  CHECK(util::split("", ',').empty());

  CHECK(util::join_paths("a/b/", "c") == "a/b/c");
  CHECK(util::join_paths("a\\", "c") == "a\\c");
  CHECK(util::join_paths("a/b", "/abs") == "/abs");
  CHECK(util::join_paths("base", "") == "base");
  CHECK(util::join_paths("base", "C:/x") == "C:/x");
  CHECK(util::join_paths("base", "C:") == "base/C:");
  CHECK(util::join_paths("base", "\\x") == "base/\\x");

  // clang-format off
  const std::pair<uint64_t, const char*> sizes[] = {
    {0, "0 B"}, {1023, "1023 B"}, {1024, "1.0 KiB"}, {1280, "1.2 KiB"}, {1792, "1.8 KiB"},
    {(1u << 20) - 1, "1024.0 KiB"}, {5242880, "5.0 MiB"}, {1073741824, "1.0 GiB"},
    {1099511627776ull, "1.0 TiB"}, {1ull << 50, "1024.0 TiB"},
    {18446744073709551615ull, "16777216.0 TiB"},
  };
  // clang-format on
  for (const auto& [n, text] : sizes) CHECK(util::format_bytes(n) == text);

  const unsigned char bytes[] = {0x00, 0xff, 0x7f};
  CHECK(util::hex_encode(bytes, 3) == "00ff7f");
}

TEST_CASE("write_whole_file replaces atomically and never harms the target on failure") {
  Scratch dir;
  std::string err;
  SECTION("replaces content, leaves no temporary file, creates missing parents") {
    put(dir / "x.dat", "hello");
    put(dir / "x.dat", std::string("a\0b", 3));
    CHECK(read_back(dir / "x.dat") == std::string("a\0b", 3));
    CHECK_FALSE(util::path_exists(dir / "x.dat.tmp"));
    put(dir / "t/a/b/f", "");
    CHECK(read_back(dir / "t/a/b/f").empty());
  }
  SECTION("a parent that is a regular file") {
    put(dir / "file", "x");
    CHECK_FALSE(util::write_whole_file(dir / "file/sub/f", "y", err));
    CHECK(err == "could not create directory: " + (dir / "file/sub"));
  }
  SECTION("a temporary name that cannot be opened") {
    put(dir / "state", "old");
    REQUIRE(util::make_dirs(dir / "state.tmp"));
    CHECK_FALSE(util::write_whole_file(dir / "state", "new", err));
    CHECK(err == "could not open for writing: " + (dir / "state.tmp"));
    CHECK(read_back(dir / "state") == "old");
  }
  SECTION("a write cut short by the file-size limit") {
    put(dir / "state", "old");
    rlimit saved{};
    REQUIRE(getrlimit(RLIMIT_FSIZE, &saved) == 0);
    auto* old_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1024;
    REQUIRE(setrlimit(RLIMIT_FSIZE, &small) == 0);
    const bool ok = util::write_whole_file(dir / "state", std::string(4096, 'n'), err);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    CHECK_FALSE(ok);
    CHECK(err == "error writing: " + (dir / "state.tmp"));
    CHECK(read_back(dir / "state") == "old");
  }
}

TEST_CASE("rename_file falls back to copy and remove across file systems") {
  Scratch dir;
  struct stat shm {
  }, tmp{};
  if (stat("/dev/shm", &shm) != 0 || stat(dir.root.c_str(), &tmp) != 0 ||
      shm.st_dev == tmp.st_dev) {
    SKIP("/dev/shm is not a separate file system here");
  }
  const std::string src = "/dev/shm/quillstep-unit-" + std::to_string(getpid());
  std::string err;
  put(src, "payload");
  put(dir / "dst", "old");
  CHECK(util::rename_file(src, dir / "dst", err));
  CHECK(read_back(dir / "dst") == "payload");
  CHECK_FALSE(util::path_exists(src));

  // Only the copy's failure is reported.
  CHECK_FALSE(util::rename_file(src, dir / "dst", err));
  CHECK(util::starts_with(err, "copy failed ("));
  CHECK(util::ends_with(err, "): " + src + " -> " + (dir / "dst")));
  CHECK(read_back(dir / "dst") == "payload");
}

TEST_CASE("read_whole_file and the file probes report failures without side effects") {
  Scratch dir;
  std::string out = "untouched", err;
  CHECK_FALSE(util::read_whole_file(dir / "missing", out, err));
  CHECK(err == "could not open file: " + (dir / "missing"));
  CHECK_FALSE(util::read_whole_file(dir.root, out, err));
  CHECK(err == "error reading file: " + dir.root);
  CHECK(out == "untouched");

  put(dir / "f", "x");
  CHECK_FALSE(util::make_dirs(dir / "f"));
  CHECK_FALSE(util::make_dirs(""));
  CHECK_FALSE(util::is_directory(dir / "f"));
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  CHECK_FALSE(util::path_exists(dir / "dangling"));
  fs::create_symlink(dir / "f", dir / "link");
  CHECK(util::remove_tree(dir / "link"));
  CHECK(util::path_exists(dir / "f"));  // the link went, not its target
  CHECK(util::remove_tree(dir / "missing"));
}

TEST_CASE("sha256_file digests whole files of any size") {
  Scratch dir;
  put(dir / "abc", "abc");
  put(dir / "empty", "");
  put(dir / "million", std::string(1000000, 'a'));  // spans many 64 KiB reads
  CHECK(util::sha256_file(dir / "abc") ==
        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  CHECK(util::sha256_file(dir / "empty") ==
        "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  CHECK(util::sha256_file(dir / "million") ==
        "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  CHECK(util::sha256_file(dir / "missing").empty());
  CHECK(util::sha256_file(dir.root).empty());
}
