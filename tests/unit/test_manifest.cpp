#include <catch2/catch_test_macros.hpp>
#include <string>

#include "manifest.h"

namespace {

const std::string kSha(64, 'a');

std::string artifact(const std::string& extra = "") {
  return R"({"url": "files/x.zip", "sha256": ")" + kSha + "\"" + extra + "}";
}

std::string build(const std::string& version, const std::string& artifact_extra = "") {
  return R"({"version": ")" + version + R"(", "files": {"linux-x64": )" + artifact(artifact_extra) +
         "}}";
}

std::string doc(const std::string& channels) {
  return R"({"schema": 1, "channels": {)" + channels + "}}";
}

}  // namespace

TEST_CASE("artifact size accepts only what fits an unsigned 64-bit count", "[manifest]") {
  std::string err;
  const auto size_of = [&](const std::string& v) {
    manifest::Manifest m;
    REQUIRE(
        manifest::parse(doc(R"("stable": [)" + build("1.0.0", R"(, "size": )" + v) + "]"), m, err));
    return m.at("stable")[0].files.at("linux-x64").size;
  };
  CHECK((size_of("null") == 0 && size_of("true") == 1 && size_of("1.9") == 1));
  CHECK(size_of("18446744073709551615") == 18446744073709551615ull);
  CHECK(size_of("1e19") == 10000000000000000000ull);
  for (const char* bad : {"-1", "-0.5", "\"5\"", "[]", "18446744073709551616", "1e30"}) {
    INFO(bad);
    manifest::Manifest m;
    CHECK_FALSE(manifest::parse(
        doc(R"("stable": [)" + build("1.0.0", R"(, "size": )" + std::string(bad)) + "]"), m, err));
    CHECK(err == "build 1.0.0 file linux-x64: \"size\" is not a non-negative integer below 2^64");
    CHECK(m.empty());
  }
}

TEST_CASE("wrong value types, deep nesting and other schemas end in a message", "[manifest]") {
  manifest::Manifest m;
  std::string err;
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  const std::pair<std::string, std::string> cases[] = {
      {doc(R"("stable": [)" + build("1", R"(, "url": ["a"])") + "]"),
       "build 1 file linux-x64: \"url\" is not text"},
      {doc(R"("stable": [{"version": {}}])"), "build entry: \"version\" is not text"},
      {doc(R"("stable": [{"version": "1", "notes": [], "files": {}}])"),
       "build 1: \"notes\" is not text"},
      {doc(R"("stable": [{"version": "1", "files": {}, "source": null}])"),
       "build 1 source: expected an object"},
      {doc(R"("stable": [{"version": "1", "files": null}])"), "build 1: missing files object"},
      {doc(R"("stable": [)" + build("1", R"(, "sha256": "tooshort")") + "]"),
       "build 1 file linux-x64: missing or malformed sha256"},
      {deep, "invalid JSON: "},
      {doc(R"("stable": )" + deep), "invalid JSON: "},
      {R"({"schema": "1", "channels": {}})", "unsupported manifest schema (expected schema 1)"},
      {R"({"schema": 4294967297, "channels": {}})",
       "unsupported manifest schema (expected schema 1)"},
      {R"({"schema": 1, "channels": []})", "manifest: missing channels object"},
  };
  for (const auto& [text, message] : cases) {
    CHECK_FALSE(manifest::parse(text, m, err));
    CHECK(err.substr(0, message.size()) == message);
  }
  CHECK(m.empty());
}

TEST_CASE("check_build tests platform, artifact and source in that order", "[manifest]") {
  manifest::Build b{"1.0.0", "", "", "", {}, {{"all", {"u", kSha, 0}}}};
  std::string err;
  const auto fails = [&](const std::string& platform, const std::string& message) {
    CHECK_FALSE(manifest::check_build(b, platform, true, err));
    CHECK(err == message);
  };
  fails("", "this platform is not supported by the launcher update/download system");
  fails("linux-x64", "build 1.0.0 has no artifact for platform 'linux-x64'");
  b.files["linux-x64"] = {"u", "short", 0};
  fails("linux-x64", "build 1.0.0: malformed artifact entry");
  b.files["linux-x64"].sha256 = kSha;
  fails("linux-x64", "engine build 1.0.0 lacks the LGPL source archive entry");
  CHECK(manifest::check_build(b, "linux-x64", false, err));
}
