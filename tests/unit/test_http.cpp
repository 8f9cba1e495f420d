#include <catch2/catch_test_macros.hpp>
#include <utility>
#include <vector>

#include "http.h"
#include "test_server.h"

using testsupport::read_file;
using testsupport::ScratchDir;
using testsupport::TestServer;
using testsupport::write_file;

namespace {

struct HttpFixture {
  HttpFixture() {
    http::init();
    write_file(dir.path("root/dist/manifest.json"), "{\"schema\": 1}");
    write_file(dir.path("root/dist/blob.bin"), std::string(60000, 'q'));
  }
  ~HttpFixture() { http::deinit(); }
  std::string log() const { return read_file(dir.path("log.jsonl")); }

  ScratchDir dir;
  TestServer server{dir.path("root"), {"--log", dir.path("log.jsonl")}};
  http::Options opts;
  std::string err;
};

}  // namespace

TEST_CASE_METHOD(HttpFixture, "fetch_string appends on success and empties the text on failure",
                 "[http]") {
  std::string body = "kept:";
  REQUIRE(http::fetch_string(server.url("/dist/manifest.json"), body, err, opts));
  CHECK(body == "kept:{\"schema\": 1}");
  CHECK(err.empty());

  const std::string missing = server.url("/dist/missing.json");
  CHECK_FALSE(http::fetch_string(missing, body, err, opts));
  CHECK(err.rfind("GET " + missing + " failed: ", 0) == 0);
  CHECK(err.find("404") != std::string::npos);
  CHECK(body.empty());
}

TEST_CASE_METHOD(HttpFixture, "requests carry the launcher's user agent unless it is empty",
                 "[http]") {
  std::string body;
  REQUIRE(http::fetch_string(server.url("/dist/manifest.json"), body, err, opts));
  CHECK(log().find("\"user_agent\": \"quillstep-launcher/0.1.0\"") != std::string::npos);

  opts.user_agent.clear();
  REQUIRE(http::fetch_string(server.url("/dist/manifest.json?again"), body, err, opts));
  CHECK(log().find("\"path\": \"/dist/manifest.json?again\", \"user_agent\": null") !=
        std::string::npos);
}

TEST_CASE_METHOD(HttpFixture, "fetch_to_file reports progress and fails cleanly", "[http]") {
  const std::string out = dir.path("out.bin");

  SECTION("progress arrives as (received, total)") {
    // Throttled so the body arrives in several pieces.
    write_file(dir.path("root/_faults.json"), R"({"/dist/blob.bin": {"rate": 300000}})");
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    http::ProgressFn record = [&](uint64_t now, uint64_t total) { calls.emplace_back(now, total); };
    REQUIRE(http::fetch_to_file(server.url("/dist/blob.bin"), out, err, record, opts));
    CHECK(read_file(out) == std::string(60000, 'q'));
    REQUIRE_FALSE(calls.empty());
    for (auto [now, total] : calls) {
      if (total == 0) CHECK(now == 0);
      if (total != 0) CHECK(total == 60000);
    }
    CHECK(calls.back() == std::make_pair(uint64_t{60000}, uint64_t{60000}));
  }

  SECTION("a missing directory fails before any request") {
    const std::string nowhere = dir.path("no/such/dir/out.bin");
    CHECK_FALSE(http::fetch_to_file(server.url("/dist/blob.bin"), nowhere, err, {}, opts));
    CHECK(err == "could not open for writing: " + nowhere);
    CHECK(log().empty());
  }

  SECTION("bytes that cannot be written are a failure, also the last buffered ones") {
    CHECK_FALSE(http::fetch_to_file(server.url("/dist/manifest.json"), "/dev/full", err, {}, opts));
    CHECK(err == "error writing file: /dev/full (No space left on device)");
  }
}

TEST_CASE("TLS verification rejects a self-signed certificate unless switched off", "[http]") {
  ScratchDir dir;
  REQUIRE(testsupport::make_self_signed_cert(dir.path()));
  write_file(dir.path("root/dist/manifest.json"), "{}");
  TestServer server(dir.path("root"),
                    {"--tls-cert", dir.path("cert.pem"), "--tls-key", dir.path("key.pem")});
  http::init();
  http::Options opts;
  std::string body, err;
  const std::string url = server.url("/dist/manifest.json");
  CHECK_FALSE(http::fetch_string(url, body, err, opts));
  CHECK(err.rfind("GET " + url + " failed: ", 0) == 0);

  opts.verify_tls = false;
  err.clear();
  CHECK(http::fetch_string(url, body, err, opts));
  CHECK(body == "{}");
  CHECK(err.empty());
  http::deinit();
}
