#include <catch2/catch_test_macros.hpp>
#include <string>

#include "installer.h"
#include "manifest.h"

namespace {

const std::string kSha(64, 'a');
const std::string kSchema = "unsupported manifest schema (expected schema 1)";
constexpr auto kSize = "build 1 file linux-x64: \"size\" is not a non-negative integer below 2^64";

// A manifest whose one build "1" carries the extra members, its linux-x64 artifact the others.
std::string one(const std::string& build_extra, const std::string& artifact_extra = "") {
  return R"({"schema": 1, "channels": {"stable": [{"version": "1", "files": {"linux-x64": )"
         R"({"url": "x.zip", "sha256": ")" +
         kSha + "\"" + artifact_extra + "}}" + build_extra + "}]}}";
}

}  // namespace

TEST_CASE("schema and size convert as JsonCpp does: null 0, true 1, fractions cut", "[manifest]") {
  // clang-format off
  const std::pair<std::string, uint64_t> sizes[] = {{"null", 0}, {"0", 0}, {"true", 1}, {"1.9", 1},
    {"0.0", 0}, {"1e19", 10000000000000000000ull}, {"18446744073709551615", ~0ull}};
  // clang-format on
  manifest::Manifest m;
  std::string err;
  for (const char* schema : {"1.0", "1.99", "true"})
    CHECK(manifest::parse(std::string(R"({"schema": )") + schema + R"(, "channels": {}})", m, err));
  for (const auto& [text, size] : sizes) {
    REQUIRE(manifest::parse(one("", R"(, "size": )" + text), m, err));
    CHECK(m.at("stable")[0].files.at("linux-x64").size == size);
  }
}

TEST_CASE("wrong value types and other schemas end in a message and add nothing", "[manifest]") {
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
    {one("", R"(, "url": ["a"])"), "build 1 file linux-x64: \"url\" is not text"},
    {one("", R"(, "sha256": {})"), "build 1 file linux-x64: \"sha256\" is not text"},
    {R"({"schema": 1, "channels": {"stable": [5]}})", "build entry: expected an object"},
    {one(R"(, "notes": [])"), "build 1: \"notes\" is not text"},
    {one(R"(, "source": null)"), "build 1 source: expected an object"},
    {one(R"(, "files": null)"), "build 1: missing files object"},
    {one("", R"(, "size": -1)"), kSize}, {one("", R"(, "size": -0.5)"), kSize},
    {one("", R"(, "size": "5")"), kSize}, {R"({"schema": "1"})", kSchema},
    {R"({"schema": 2.0})", kSchema}, {R"({"schema": 4294967297})", kSchema},
    {R"({"schema": 9223372036854775809})", kSchema},
    {R"({"schema": 1, "channels": []})", "manifest: missing channels object"}};
  // clang-format on
  for (const auto& [text, message] : cases) {
    manifest::Manifest m;
    std::string err;
    CHECK((!manifest::parse(text, m, err) && m.empty()));
    CHECK(err == message);
  }
}

TEST_CASE("latest takes the first of equals; refusals: platform, artifact, source", "[manifest]") {
  manifest::Build b{"1.0.0", "", "", "", {}, {{"all", {"u", kSha, 0}}}};
  manifest::Manifest m{{"stable", {b, {"1.0.0+b2", "", "", "", {}, {}}}}};
  REQUIRE(manifest::latest(m, "stable") == &m["stable"][0]);  // "1.0.0+b2" is equal, not newer
  installer::Env env;  // the game's refusals come before any file or server is touched
  env.platform = "linux-x64";
  std::string err;
  const auto fails = [&](bool ok, const std::string& message) {
    CHECK_FALSE(ok);
    CHECK(err == message);
  };
  fails(manifest::check_build(b, "", true, err),
        "this platform is not supported by the launcher update/download system");
  fails(manifest::check_build(b, "linux-x64", true, err),
        "build 1.0.0 has no artifact for platform 'linux-x64'");
  b.files["linux-x64"] = {"u", "short", 0};
  fails(manifest::check_build(b, "linux-x64", true, err), "build 1.0.0: malformed artifact entry");
  b.files["linux-x64"].sha256 = kSha;
  fails(manifest::check_build(b, "linux-x64", true, err),
        "engine build 1.0.0 lacks the LGPL source archive entry");
  CHECK(manifest::check_build(b, "linux-x64", false, err));
  b.files["all"].sha256.pop_back();  // the game takes "all" even beside a good platform artifact
  fails(installer::install_game(env, b, false, err), "game build 1.0.0: malformed artifact entry");
  b.files["all"] = {"", kSha, 0};
  fails(installer::install_game(env, b, false, err), "game build 1.0.0: malformed artifact entry");
}
