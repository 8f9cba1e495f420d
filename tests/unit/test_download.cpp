#include <pty.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <algorithm>
#include <catch2/catch_test_macros.hpp>
#include <tuple>
#include <vector>

#include "download.h"
#include "test_server.h"
#include "util.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

const std::string kContent = "quillstep artifact\n";
const std::string kSha = "17de879feccf1eb23233b9d04f8deb45aaa799b5f253acab4e406ae40d9f423f";
const bool kHttpReady = http::init();  // once per process, as the launcher does

struct Fixture : Scratch {
  void faults(const std::string& json) const { put(*this / "root/_faults.json", json); }

  const std::string log = *this / "log", dest = put(*this / "cache/a.zip", "installed");
  const std::string file = put(*this / "root/dist/files/a.zip", kContent);
  TestServer server{*this / "root", "--log " + log};
  const std::string base = server.url("/dist");
  http::Options opts;
  std::string err, body = "kept:";
};

}  // namespace

TEST_CASE_METHOD(Fixture, "GET appends or empties, names itself, never leaves https on redirect") {
  TestServer tls{*this / "root", "--tls-self-signed"}, *plain = &server;
  opts.verify_tls = false;
  using Hop = std::tuple<TestServer*, TestServer*, std::string, bool>;
  const std::string a = "/dist/files/a.zip";
  for (const auto& [from_server, to_server, path, ok] :
       {Hop{plain, plain, a, true}, Hop{plain, &tls, a, true}, Hop{&tls, &tls, a, true},
        Hop{&tls, plain, a, false}, Hop{plain, plain, "/nowhere", false},
        Hop{plain, plain, "/hop", false}}) {  // the last loops
    const std::string from = from_server->url("/hop"), to = to_server->url(path);
    faults(R"({"/hop": {"redirect": ")" + to + "\"}}");
    std::string text = "kept:";
    INFO(from + " -> " + to);
    CHECK(http::fetch_string(from, text, err, opts) == ok);
    CHECK(text == (ok ? "kept:" + kContent : ""));
    CHECK(util::starts_with(err, "GET " + from + " failed: ") != ok);  // failures come last
  }
  CHECK(err.ends_with(" failed: Maximum (10) redirects followed"));  // the loop: at most 10
  CHECK(slurp(log).find("\"user_agent\": \"quillstep-launcher/0.1.0\"") != std::string::npos);
  CHECK(slurp(log).find("\"accept_encoding\": \"deflate, gzip") != std::string::npos);
}

TEST_CASE_METHOD(Fixture, "a text times out, a download only stalls out, reporting progress once") {
  faults(R"({"/s": {"body_file": "dist/files/a.zip", "rate": 10}, "/held": {"delay_ms": 600000}})");
  opts.timeout_ms = 300;  // a byte each 0.1 s: 1.9 s in all
  CHECK_FALSE(http::fetch_string(server.url("/s"), body, err, opts));
  CHECK(err.find("timed out") != std::string::npos);
  std::vector<std::pair<uint64_t, uint64_t>> calls;  // each once, the repeated last one too
  const auto record = [&](uint64_t now, uint64_t total) { calls.emplace_back(now, total); };
  REQUIRE((http::fetch_to_file(server.url("/s"), dest, err, record, opts) && !calls.empty()));
  for (auto [now, total] : calls) CHECK((total == 19 || (total == 0 && now == 0)));
  CHECK((calls.back().first == 19 && std::ranges::count(calls, calls.back()) == 1));
  CHECK_FALSE(http::fetch_to_file(server.url("/s"), dest, err, {}, opts, 1));  // one byte too many
  opts.low_speed_time_s = 1;
  CHECK_FALSE(http::fetch_to_file(server.url("/held"), dest, err, {}, opts));
  CHECK(err.find("too slow") != std::string::npos);
}

TEST_CASE("the progress display escapes its label and ends a finished line") {
  int pty, tty;
  if (openpty(&pty, &tty, nullptr, nullptr, nullptr) != 0) SKIP("no pseudo-terminal");
  const int saved = dup(1);
  std::fflush(stdout), dup2(tty, 1);
  const http::ProgressFn show = download::console_progress("a\x1b]0;b\x07");
  show(0, 0);  // the first call always draws, and at once: no line end comes to flush it
  CHECK(__fpending(stdout) == 0);
  show(19, 19);
  std::fflush(stdout), dup2(saved, 1);
  for (int fd : {tty, saved}) close(fd);
  std::string out, label = "a\\x1b]0;b\\x07" + std::string(11, ' ');
  char buf[256];
  for (ssize_t n; (n = read(pty, buf, sizeof buf)) > 0;) out.append(buf, n);  // to EIO: all read
  close(pty);
  CHECK(out == "\r" + label + " 0 B ...\r" + label + " 100%  19 B / 19 B\r\n");
}

TEST_CASE_METHOD(Fixture, "a verified download replaces dest with the published file only") {
  const std::string a = "files/a.zip", b = *this / "b.zip", kept = put(*this / "kept", "x");
  const std::string big = put(*this / "root/dist/files/big", std::string(64 << 20, 'z'));
  using download::Where;
  const Where cache = Where::kOwnCache, user = Where::kUserDirectory;
  const std::tuple<std::string, std::string, uint64_t, std::string, Where, std::string> rows[] = {
      {a, "17DE879FECCF1EB23233B9D04F8DEB45AAA799B5F253ACAB4E406AE40D9F423F", 19, dest, user, ""},
      {base + "/" + a, kSha, 0, dest, cache, ""},  // absolute: not joined to the base; no size
      {"files/big", util::sha256_file(big), 64 << 20, dest, cache, ""},
      {a, "A", 99, dest, cache, "checksum mismatch for files/a.zip (expected a, got " + kSha + ")"},
      {a, kSha, 4096, dest, cache, "size mismatch for files/a.zip (expected 4.0 KiB, got 19 B)"},
      {"files/big", kSha, 1000, dest, cache, "size mismatch for files/big (expected 1000 B, got "},
      {"files/cut", kSha, 0, dest, cache, "GET " + base + "/files/cut failed: transfer closed "},
      {a, kSha, 0, b, user, "could not open for writing: " + b + ".part"},  // the directory stays
      {a, kSha, 0, b, cache, ""}};  // and goes from the cache
  put(b + ".part/k", "x");
  std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak resident size
  const auto peak_kib = [] {                      // 0 where the kernel does not tell
    const std::string status = slurp("/proc/self/status") + "VmHWM: 0";
    return std::stol(status.substr(status.find("VmHWM:") + 6));
  };
  const long before = peak_kib();
  faults(R"({"/dist/files/cut": {"body_file": "dist/files/a.zip", "truncate": 5}})");
  fs::create_symlink(kept, dest + ".part");  // replaced, never written through
  const int stdin_copy = dup(0);
  close(0);  // started without standard input: a file may get descriptor 0
  for (const auto& [url, sha, size, to, where, want] : rows) {
    INFO(url + " -> " + to);
    put(to, "installed");
    CHECK(download::verified(base, url, sha, size, to, opts, err, {}, where) == want.empty());
    CHECK(fs::exists(b + ".part/k") == (to != b || !want.empty()));
    CHECK((want.empty() || util::starts_with(err, want)));
    CHECK(err.find("MiB") == std::string::npos);  // a stopped transfer: within a piece of size
    CHECK((want.empty() ? util::sha256_file(to) == util::lower(sha) : slurp(to) == "installed"));
    CHECK((!want.empty() || fs::status(to).permissions() == fs::status(kept).permissions()));
    CHECK_FALSE(fs::is_regular_file(to + ".part"));
  }
  dup2(stdin_copy, 0), close(stdin_copy);
  CHECK(peak_kib() - before < 16 * 1024);  // files stream to disk and are measured there
  CHECK(slurp(kept) == "x");
  CHECK_FALSE(http::fetch_string(base + "/files/big", body, err, opts));
  CHECK(err == "GET " + base + "/files/big failed: response too large (more than 16.0 MiB)");
}
