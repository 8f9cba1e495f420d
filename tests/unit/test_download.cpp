#include <algorithm>
#include <catch2/catch_test_macros.hpp>
#include <utility>
#include <vector>

#include "download.h"
#include "test_server.h"
#include "util.h"

using testsupport::put;
using testsupport::slurp;

namespace {

const std::string kContent = "quillstep artifact\n";
const std::string kSha = "17de879feccf1eb23233b9d04f8deb45aaa799b5f253acab4e406ae40d9f423f";

struct Fixture : testsupport::Scratch {
  Fixture() {
    http::init();
    put(*this / "root/dist/files/a.zip", kContent);
  }
  ~Fixture() { http::deinit(); }
  bool part_left() const { return std::filesystem::exists(dest + ".part"); }

  const std::string log = *this / "log";
  testsupport::TestServer server{*this / "root", "--log " + log};
  const std::string base = server.url("/dist"), dest = put(*this / "cache/a.zip", "installed");
  http::Options opts;
  std::string err, body = "kept:";
};

}  // namespace

TEST_CASE_METHOD(Fixture, "GET appends on success, empties the body on failure, names itself") {
  REQUIRE(http::fetch_string(base + "/files/a.zip", body, err, opts));
  CHECK(body == "kept:" + kContent);
  CHECK(slurp(log).find("\"user_agent\": \"quillstep-launcher/0.1.0\"") != std::string::npos);
  CHECK_FALSE(http::fetch_string(base + "/missing", body, err, opts));
  CHECK(err.rfind("GET " + base + "/missing failed: ", 0) == 0);
  CHECK(err.find("404") != std::string::npos);
  CHECK(body.empty());
}

TEST_CASE_METHOD(Fixture, "progress arrives as (received, total)") {
  put(*this / "root/dist/files/big", std::string(60000, 'q'));
  put(*this / "root/_faults.json", R"({"/dist/files/big": {"rate": 300000}})");  // several pieces
  std::vector<std::pair<uint64_t, uint64_t>> calls;
  const auto record = [&](uint64_t now, uint64_t total) { calls.emplace_back(now, total); };
  REQUIRE(http::fetch_to_file(base + "/files/big", dest, err, record, opts));
  REQUIRE(calls.size() > 1);
  for (auto [now, total] : calls) CHECK((total == 60000 || (total == 0 && now == 0)));
  CHECK(calls.back() == std::make_pair(uint64_t{60000}, uint64_t{60000}));
  // The library repeats the final figures; a display must see them once.
  CHECK(std::count(calls.begin(), calls.end(), calls.back()) == 1);
}

TEST_CASE("TLS verification rejects a self-signed certificate unless switched off") {
  testsupport::Scratch dir;
  const std::string make_cert =
      "/usr/bin/python3 -c 'import sys; sys.path.insert(0, \"" +
      std::filesystem::path(testsupport::server_script()).parent_path().string() +
      "\"); import server; server.make_self_signed_cert(\"" + dir.root + "\")'";
  REQUIRE(std::system(make_cert.c_str()) == 0);
  put(dir / "root/x", "{}");
  testsupport::TestServer server(
      dir / "root", "--tls-cert " + (dir / "cert.pem") + " --tls-key " + (dir / "key.pem"));
  http::init();
  http::Options opts;
  std::string body, err;
  CHECK_FALSE(http::fetch_string(server.url("/x"), body, err, opts));
  CHECK(err.rfind("GET " + server.url("/x") + " failed: ", 0) == 0);
  opts.verify_tls = false;
  CHECK((http::fetch_string(server.url("/x"), body, err, opts) && body == "{}"));
  http::deinit();
}

TEST_CASE_METHOD(Fixture, "verified downloads accept only the published file") {
  SECTION("relative to the base URL, with a digest in capitals") {
    std::string upper = kSha;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    REQUIRE(download::verified(base, {"files/a.zip", upper, kContent.size()}, dest, opts, err));
  }
  SECTION("an absolute URL unchanged, over a leftover download directory") {
    put(dest + ".part/stale/file", "x");
    REQUIRE(download::verified("http://127.0.0.1:9/x", base + "/files/a.zip", kSha, 0, dest, opts,
                               err));
  }
  CHECK(slurp(dest) == kContent);
  CHECK(err.empty());
  CHECK_FALSE(part_left());
}

TEST_CASE_METHOD(Fixture, "failed downloads name the URL as passed and leave no trace") {
  SECTION("digest") {
    CHECK_FALSE(download::verified(base, "files/a.zip", std::string(64, 'A'), 99, dest, opts, err));
    CHECK(err == "checksum mismatch for files/a.zip (expected " + std::string(64, 'a') + ", got " +
                     kSha + ")");
  }
  SECTION("length") {
    CHECK_FALSE(download::verified(base, "files/a.zip", kSha, 4096, dest, opts, err));
    CHECK(err == "size mismatch for files/a.zip (expected 4.0 KiB, got 19 B)");
  }
  SECTION("transfer") CHECK_FALSE(download::verified(base, "nowhere", kSha, 0, dest, opts, err));
  CHECK(slurp(dest) == "installed");
  CHECK_FALSE(part_left());
}

TEST_CASE_METHOD(Fixture, "a large download does not grow memory with its size") {
  {
    std::ofstream big(*this / "root/dist/files/big", std::ios::binary);
    for (int i = 0; i < 64; ++i) big << std::string(1 << 20, 'z');
  }
  const std::string sha = util::sha256_file(*this / "root/dist/files/big");
  std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak resident size
  const auto peak_kib = [] {
    const std::string status = slurp("/proc/self/status");
    const size_t at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
  };
  const long before = peak_kib();
  REQUIRE(download::verified(base, "files/big", sha, 64u << 20, dest, opts, err));
  if (before < 0) SKIP("no VmHWM in /proc/self/status");
  CHECK(peak_kib() - before < 16 * 1024);
}
