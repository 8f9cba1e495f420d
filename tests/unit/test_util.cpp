#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <catch2/catch_test_macros.hpp>

#include "test_server.h"
#include "util.h"

using namespace testsupport;
namespace fs = std::filesystem;

TEST_CASE("versions order by identifiers, pre-release below release, and swapping negates") {
  // clang-format off
  struct Row { const char *a, *b; int r; };
  const Row rows[] = {  // {"1.\xe9", "1.z"}: bytes above 0x7f compare as unsigned
    {"", "0", -1}, {"", "-rc", 1}, {"1.0", "1.0.0", -1}, {"1.0.", "1.0", 0}, {"1.07", "1.7", 0},
    {"1..2", "1.0.2", 1}, {"1.0a", "1.0", 1}, {"1.0-99", "1.0-a", -1}, {"1.\xe9", "1.z", 1},
    {"9223372036854775808", "9223372036854775807", 1}, {"1.0.0-quil.0+build", "1.0.0-quil.0", 0},
    {"18446744073709551616", "18446744073709551615", 0}, {"18446744073709551614", "18446744073709551615", -1}, {"1.0+b-c", "1.0", 0}, {"A", "a", -1},
    {"1.0-alpha", "1.0-beta", -1}, {"1.0-alpha", "1.0-alpha.1", -1}, {"1.0-rc-1", "1.0-rc.1", 1},
    {"1.0-alpha.1", "1.0-alpha.beta", -1}, {"1.0-beta.11", "1.0-beta.2", 1}, {"1.0-", "1.0", 0}};
  // clang-format on
  for (const Row& row : rows) {
    INFO(row.a << " vs " << row.b);
    CHECK(util::compare_versions(row.a, row.b) == row.r);
    CHECK(util::compare_versions(row.b, row.a) == -row.r);
  }
}

TEST_CASE("split, join_paths, trim, format_bytes and printable follow their edge rules") {
  // clang-format off
  const std::pair<const char*, std::vector<std::string>> splits[] = {
    {"a,bb,,c", {"a", "bb", "", "c"}}, {"a,", {"a"}}, {"a,,", {"a", ""}}, {",", {""}}, {"", {}}};
  const std::array<const char*, 3> joins[] = {{"a\\", "c", "a\\c"}, {"base", "", "base"},
    {"base", "C:/x", "C:/x"}, {"base", "C:", "base/C:"}, {"base", "\\x", "base/\\x"}};
  const std::pair<uint64_t, const char*> sizes[] = {{0, "0 B"}, {1023, "1023 B"},
    {1024, "1.0 KiB"}, {1280, "1.2 KiB"}, {1792, "1.8 KiB"}, {(1u << 20) - 1, "1024.0 KiB"},
    {1099511627776ull, "1.0 TiB"}, {1ull << 50, "1024.0 TiB"}, {~0ull, "16777216.0 TiB"}};
  // clang-format on
  for (const auto& [text, fields] : splits) CHECK(util::split(text, ',') == fields);
  for (const auto& [a, b, joined] : joins) CHECK(util::join_paths(a, b) == joined);
  CHECK(util::trim("\va\f") == "\va\f");
  CHECK((util::starts_with("ab", "ab") && util::ends_with("ab", "ab")));
  for (const auto& [n, text] : sizes) CHECK(util::format_bytes(n) == text);
  // C1 controls count as UTF-8 only; other UTF-8 (NBSP, em dash) and a lone C2 stay.
  CHECK(util::printable("\x1b[2J\x7f\n\t\xc2\x80\xc2\x9b\xc2\x9f\xc2\xa0\xe2\x80\x94\xc2") ==
        "\\x1b[2J\\x7f\n\t\\xc2\\x80\\xc2\\x9b\\xc2\\x9f\xc2\xa0\xe2\x80\x94\xc2");
}

TEST_CASE("file reads and writes name what failed and never go through a planted link") {
  Scratch dir;
  std::string err, text;
  const std::string victim = put(dir / "victim", "mine");
  put(dir / "busy.tmp/keep", "");
  symlink(victim.c_str(), (dir / "state.tmp").c_str());
  symlink(victim.c_str(), (dir / "link").c_str());
  const int saved_stdin = dup(0);
  close(0);  // files then get descriptor 0, which is valid and must be closed again
  CHECK(util::write_whole_file(dir / "state", "old", err));
  CHECK(fs::status(dir / "state").permissions() == fs::status(victim).permissions());
  CHECK(util::copy_file(put(dir / "empty", ""), put(dir / "full", "xyz"), err));
  CHECK(slurp(dir / "full").empty());
  CHECK_FALSE(util::read_whole_file(dir.root, text, err));  // EISDIR: a failure, not a retry
  CHECK(err == "error reading file: " + dir.root);
  CHECK_FALSE(util::copy_file(dir / "state", dir / "link", err));
  CHECK(err == "copy failed (Too many levels of symbolic links): " + (dir / "state") + " -> " +
                   (dir / "link"));
  CHECK_FALSE(util::write_whole_file(dir / "victim/x", "", err));
  CHECK(err == "could not create directory: " + (dir / "victim"));
  CHECK_FALSE(util::write_whole_file(dir / "busy", "", err));
  CHECK(err == "could not open for writing: " + (dir / "busy.tmp"));
  CHECK_FALSE(util::write_whole_file(dir / "busy.tmp", "", err));  // cannot replace a directory
  CHECK((slurp(victim) == "mine" && util::path_exists(dir / "busy.tmp/keep")));
  rlimit saved{};
  REQUIRE((getrlimit(RLIMIT_FSIZE, &saved) == 0 && signal(SIGXFSZ, SIG_IGN) != SIG_ERR));
  const rlimit small{1024, saved.rlim_max};
  REQUIRE(setrlimit(RLIMIT_FSIZE, &small) == 0);
  const bool ok = util::write_whole_file(dir / "state", std::string(4096, 'n'), err);
  setrlimit(RLIMIT_FSIZE, &saved);
  CHECK_FALSE(ok);
  CHECK(err == "error writing: " + (dir / "state.tmp"));
  errno = EINTR;  // left over from an earlier call, it must not make the end of a file a retry
  CHECK((util::read_whole_file(dir / "state", text, err) && text == "old"));
  // One byte past the 64 KiB buffer: the last read delivers a single byte.
  CHECK(util::sha256_file(put(dir / "odd", std::string(65537, 'x'))) ==
        "1abe08ebecf1c18cab71f6fe28aaddf20268f85bad78bb9a72f88ca47c874662");
  CHECK(fcntl(0, F_GETFD) == -1);
  dup2(saved_stdin, 0);
  close(saved_stdin);
}
