#include <pty.h>
#include <termios.h>

#include <algorithm>
#include <catch2/catch_test_macros.hpp>
#include <cctype>
#include <cstdio>

#include "download.h"
#include "test_server.h"
#include "util.h"

using testsupport::read_file;
using testsupport::ScratchDir;
using testsupport::TestServer;
using testsupport::write_file;

namespace {

const std::string kContent = "quillstep artifact\n";
const std::string kSha = "17de879feccf1eb23233b9d04f8deb45aaa799b5f253acab4e406ae40d9f423f";

struct DownloadFixture {
  DownloadFixture() {
    http::init();
    write_file(dir.path("root/dist/files/a.zip"), kContent);
    util::make_dirs(dir.path("cache"));
  }
  ~DownloadFixture() { http::deinit(); }
  bool part_left() const { return std::filesystem::exists(dest + ".part"); }

  ScratchDir dir;
  TestServer server{dir.path("root"), {"--log", dir.path("log.jsonl")}};
  const std::string base = server.url("/dist");
  const std::string dest = dir.path("cache/a.zip");
  http::Options opts;
  std::string err;
};

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

// Peak resident memory since the last reset, in KiB, or -1 when the kernel does not tell.
long peak_rss_kib() {
  std::string status = read_file("/proc/self/status");
  size_t at = status.find("VmHWM:");
  return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
}

}  // namespace

TEST_CASE_METHOD(DownloadFixture, "verified downloads accept only the published file",
                 "[download]") {
  SECTION("a relative URL is fetched from the base URL and lands at dest") {
    REQUIRE(download::verified(base, "files/a.zip", kSha, kContent.size(), dest, opts, err));
    CHECK(read_file(dest) == kContent);
    CHECK(read_file(dir.path("log.jsonl")).find("\"path\": \"/dist/files/a.zip\"") !=
          std::string::npos);
  }
  SECTION("an absolute URL is used unchanged") {
    REQUIRE(download::verified("http://127.0.0.1:9/elsewhere", server.url("/dist/files/a.zip"),
                               kSha, 0, dest, opts, err));
    CHECK(read_file(dest) == kContent);
  }
  SECTION("a digest in capitals is accepted, and the artifact form passes everything on") {
    manifest::Artifact artifact{"files/a.zip", upper(kSha), kContent.size()};
    REQUIRE(download::verified(base, artifact, dest, opts, err));
    CHECK(err.empty());
  }
  SECTION("a size of 0 skips the length test") {
    CHECK(download::verified(base, "files/a.zip", kSha, 0, dest, opts, err));
  }
  SECTION("a leftover download directory is cleared first") {
    write_file(dest + ".part/stale/file", "x");
    REQUIRE(download::verified(base, "files/a.zip", kSha, 0, dest, opts, err));
    CHECK(read_file(dest) == kContent);
  }
  CHECK_FALSE(part_left());
}

TEST_CASE_METHOD(DownloadFixture, "failed downloads explain themselves and leave no trace",
                 "[download]") {
  write_file(dest, "installed before");
  const std::string wrong(64, 'A');

  SECTION("a digest mismatch names the URL as passed and the lower-cased digest") {
    CHECK_FALSE(
        download::verified(base, "files/a.zip", wrong, kContent.size() + 1, dest, opts, err));
    CHECK(err == "checksum mismatch for files/a.zip (expected " + std::string(64, 'a') + ", got " +
                     kSha + ")");
  }
  SECTION("a length mismatch shows both sizes") {
    CHECK_FALSE(download::verified(base, "files/a.zip", kSha, 4096, dest, opts, err));
    CHECK(err == "size mismatch for files/a.zip (expected " + util::format_bytes(4096) + ", got " +
                     util::format_bytes(kContent.size()) + ")");
  }
  SECTION("a connection closed early fails cleanly") {
    write_file(dir.path("root/_faults.json"), R"({"/dist/files/a.zip": {"truncate": 5}})");
    CHECK_FALSE(download::verified(base, "files/a.zip", kSha, 0, dest, opts, err));
    CHECK(err.rfind("GET " + base + "/files/a.zip failed: ", 0) == 0);
  }
  CHECK(read_file(dest) == "installed before");
  CHECK_FALSE(part_left());
}

TEST_CASE_METHOD(DownloadFixture, "a large download does not grow memory with its size",
                 "[download]") {
  const std::string big = dir.path("root/dist/files/big.zip");
  {
    std::FILE* f = std::fopen(big.c_str(), "wb");
    REQUIRE(f);
    const std::string block(1 << 20, 'z');
    for (int i = 0; i < 64; ++i) std::fwrite(block.data(), 1, block.size(), f);
    std::fclose(f);
  }
  const std::string sha = util::sha256_file(big);
  // Writing 5 resets the peak resident size, so the measurement covers the download alone.
  if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
  const long before = peak_rss_kib();
  REQUIRE(download::verified(base, "files/big.zip", sha, 64u << 20, dest, opts, err));
  if (before < 0) SKIP("no VmHWM in /proc/self/status");
  CHECK(peak_rss_kib() - before < 16 * 1024);
}

// Points standard output at fd for the object's lifetime.
class StdoutTo {
public:
  explicit StdoutTo(int fd) : saved_(dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    dup2(fd, STDOUT_FILENO);
  }
  ~StdoutTo() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }

private:
  int saved_;
};

TEST_CASE("the progress display draws only on a terminal", "[download]") {
  SECTION("redirected output gets no display") {
    std::FILE* null = std::fopen("/dev/null", "w");
    bool drawn;
    {
      StdoutTo redirect(fileno(null));
      drawn = static_cast<bool>(http::ProgressFn(download::console_progress("engine 1.0")));
    }
    std::fclose(null);
    CHECK_FALSE(drawn);
  }

  SECTION("a terminal gets one rewritten line, ended when a known length completes") {
    int master = -1, slave = -1;
    REQUIRE(openpty(&master, &slave, nullptr, nullptr, nullptr) == 0);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);  // no newline translation: the bytes read are the bytes printed
    tcsetattr(slave, TCSANOW, &raw);
    bool drawn;
    {
      StdoutTo redirect(slave);
      http::ProgressFn p = download::console_progress("engine 1.0");
      drawn = static_cast<bool>(p);
      if (drawn) {
        p(0, 0);        // the first call always draws
        p(1024, 1024);  // so does completion, ending the line
        p(1024, 1024);
      }
    }
    const std::string label = "engine 1.0" + std::string(14, ' ');  // a field of 24
    const std::string done = "\r" + label + " 100%  " + util::format_bytes(1024) + " / " +
                             util::format_bytes(1024) + "\n";
    const std::string expected = "\r" + label + " " + util::format_bytes(0) + " ..." + done + done;
    std::string got;
    char buf[256];
    pollfd pfd{master, POLLIN, 0};
    while (got.size() < expected.size() && poll(&pfd, 1, 5000) > 0) {
      const ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    close(slave);
    close(master);
    CHECK(drawn);
    CHECK(got == expected);
  }
}
