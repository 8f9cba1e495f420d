#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <catch2/catch_test_macros.hpp>

#include "test_server.h"
#include "util.h"

using testsupport::put;
using testsupport::Scratch;
using testsupport::slurp;

TEST_CASE("versions order by identifiers, pre-release below release, and swapping negates") {
  struct Row {
    const char *a, *b;
    int r;
  };
  // The last row: bytes above 0x7f compare as unsigned.
  // clang-format off
  const Row rows[] = {
    {"0.1.0", "0.1.0", 0}, {"0.2.0", "0.10.0", -1}, {"1.0.0", "0.999.999", 1},
    {"5.17.0-quil.0", "5.17.0", -1}, {"5.17.0-quil.10", "5.17.0-quil.2", 1},
    {"5.17.0-quil.1", "5.17.1-quil.0", -1}, {"", "", 0}, {"", "0", -1}, {"", "-rc", 1},
    {"1.0", "1.0.0", -1}, {"1.0.", "1.0", 0}, {"1.07", "1.7", 0}, {"1.0+a", "1.0+b", 0},
    {"1.0.0-quil.0+build", "1.0.0-quil.0", 0}, {"1.0+b-c", "1.0", 0}, {"1.0-", "1.0", 0},
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

TEST_CASE("split, join_paths, trim and format_bytes follow their edge rules") {
  using V = std::vector<std::string>;
  CHECK(util::split("a,bb,,c", ',') == V{"a", "bb", "", "c"});
  CHECK(util::split("a,", ',') == V{"a"});
  CHECK(util::split("a,,", ',') == V{"a", ""});
  CHECK(util::split(",", ',') == V{""});
  CHECK(util::split("", ',').empty());
  CHECK(util::join_paths("a\\", "c") == "a\\c");
  CHECK(util::join_paths("base", "") == "base");
  CHECK(util::join_paths("base", "C:/x") == "C:/x");
  CHECK(util::join_paths("base", "C:") == "base/C:");
  CHECK(util::join_paths("base", "\\x") == "base/\\x");
  CHECK(util::trim("\va\f") == "\va\f");
  // clang-format off
  const std::pair<uint64_t, const char*> sizes[] = {
    {0, "0 B"}, {1023, "1023 B"}, {1024, "1.0 KiB"}, {1280, "1.2 KiB"}, {1792, "1.8 KiB"},
    {(1u << 20) - 1, "1024.0 KiB"}, {1073741824, "1.0 GiB"}, {1099511627776ull, "1.0 TiB"},
    {1ull << 50, "1024.0 TiB"}, {18446744073709551615ull, "16777216.0 TiB"},
  };
  // clang-format on
  for (const auto& [n, text] : sizes) CHECK(util::format_bytes(n) == text);
}

TEST_CASE("write_whole_file cut short by the file-size limit leaves the target intact") {
  Scratch dir;
  std::string err;
  put(dir / "state", "old");
  rlimit saved{};
  REQUIRE(getrlimit(RLIMIT_FSIZE, &saved) == 0);
  auto* old_handler = signal(SIGXFSZ, SIG_IGN);
  const rlimit small{1024, saved.rlim_max};
  REQUIRE(setrlimit(RLIMIT_FSIZE, &small) == 0);
  const bool ok = util::write_whole_file(dir / "state", std::string(4096, 'n'), err);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, old_handler);
  CHECK_FALSE(ok);
  CHECK(err == "error writing: " + (dir / "state.tmp"));
  CHECK(slurp(dir / "state") == "old");
}

TEST_CASE("rename_file copies across file systems and reports only the copy's failure") {
  Scratch dir;
  struct stat shm {
  }, tmp{};
  if (stat("/dev/shm", &shm) != 0 || stat(dir.root.c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev)
    SKIP("/dev/shm is not a separate file system here");
  const std::string src = "/dev/shm/quillstep-unit-" + std::to_string(getpid());
  std::string err;
  put(src, "payload");
  put(dir / "dst", "old");
  CHECK(util::rename_file(src, dir / "dst", err));
  CHECK((slurp(dir / "dst") == "payload" && !util::path_exists(src)));
  CHECK_FALSE(util::rename_file(src, dir / "dst", err));
  CHECK(util::starts_with(err, "copy failed ("));
  CHECK(util::ends_with(err, "): " + src + " -> " + (dir / "dst")));
  CHECK(slurp(dir / "dst") == "payload");
}
