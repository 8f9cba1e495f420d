#include <catch2/catch_test_macros.hpp>
#include <string>

#include "manifest.h"

namespace {

const std::string kSha(64, 'a');

std::string artifact(const std::string& extra = "") {
  return R"({"url": "files/x.zip", "sha256": ")" + kSha + "\"" + extra + "}";
}

std::string build(const std::string& version, const std::string& extra = "") {
  return R"({"version": ")" + version + R"(", "files": {"linux-x64": )" + artifact() + "}" + extra +
         "}";
}

std::string doc(const std::string& channels) {
  return R"({"schema": 1, "channels": {)" + channels + "}}";
}

// A stable channel with one build "1.0.0" whose linux-x64 artifact carries `field`.
bool parse_field(const std::string& field, manifest::Manifest& m, std::string& err) {
  return manifest::parse(
      doc(R"("stable": [{"version": "1.0.0", "files": {"linux-x64": )" + artifact(field) + "}}]"),
      m, err);
}

}  // namespace

TEST_CASE("manifests are read with the library's lenient syntax and conversions", "[manifest]") {
  manifest::Manifest m;
  std::string err = "untouched";
  const std::string text =
      "\xEF\xBB\xBF// published\n" +
      doc(R"("stable": [ /* oldest first */ )" + build("0.1.0") +
          R"(, {"version": 2, "notes": true, "min_engine": 5.5, "source": )" +
          artifact(R"(, "size": 1048576)") + R"(, "files": {"all": {"url": "u", "sha256": ")" +
          std::string(64, 'Z') + R"("},}},], "dev": [], "beta": {})") +
      " trailing text";
  REQUIRE(manifest::parse(text, m, err));
  CHECK(err == "untouched");
  REQUIRE((m.size() == 1 && m.at("stable").size() == 2));
  const manifest::Build& b = m.at("stable")[1];
  CHECK(m.at("stable")[0].source.url.empty());
  CHECK((b.version == "2" && b.notes == "true" && b.min_engine == "5.5" && b.released.empty()));
  CHECK(b.source.size == 1048576);
  CHECK(b.files.at("all").sha256 == std::string(64, 'z'));
}

TEST_CASE("artifact size accepts only what fits an unsigned 64-bit count", "[manifest]") {
  manifest::Manifest m;
  std::string err;
  const auto size_of = [&](const std::string& v) {
    manifest::Manifest fresh;
    REQUIRE(parse_field(v.empty() ? "" : R"(, "size": )" + v, fresh, err));
    return fresh.at("stable")[0].files.at("linux-x64").size;
  };
  CHECK((size_of("") == 0 && size_of("null") == 0 && size_of("true") == 1));
  CHECK(size_of("1.9") == 1);
  CHECK(size_of("18446744073709551615") == 18446744073709551615ull);
  CHECK(size_of("1e19") == 10000000000000000000ull);
  for (const char* bad : {"-1", "-0.5", "\"5\"", "[]", "{}", "18446744073709551616", "1e30"}) {
    INFO(bad);
    CHECK_FALSE(parse_field(std::string(R"(, "size": )") + bad, m, err));
    CHECK(err == "build 1.0.0 file linux-x64: \"size\" is not a non-negative integer below 2^64");
  }
  CHECK(m.empty());
}

TEST_CASE("wrong value types and deep nesting end in a message, never a throw", "[manifest]") {
  manifest::Manifest m;
  std::string err;
  const auto fails = [&](const std::string& text, const std::string& message) {
    CHECK_FALSE(manifest::parse(text, m, err));
    CHECK(err.substr(0, message.size()) == message);
  };
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  fails(
      doc(R"("stable": [{"version": "1", "files": {"k": )" + artifact(R"(, "url": ["a"])") + "}}]"),
      "build 1 file k: \"url\" is not text");
  fails(doc(R"("stable": [{"version": {}}])"), "build entry: \"version\" is not text");
  fails(doc(R"("stable": [{"version": "1", "notes": [], "files": {}}])"),
        "build 1: \"notes\" is not text");
  fails(doc(R"("stable": [)" + build("1.0.0", R"(, "source": null)") + "]"),
        "build 1.0.0 source: expected an object");
  fails(doc(R"("stable": [{"version": "", "files": {}}])"), "build entry: missing version");
  fails(doc(R"("stable": [{"version": "1", "files": null}])"), "build 1: missing files object");
  fails(deep, "invalid JSON: ");
  fails(doc(R"("stable": )" + deep), "invalid JSON: ");
  fails("not json", "invalid JSON: ");
  CHECK_FALSE(parse_field(R"(, "sha256": "tooshort")", m, err));
  CHECK(err == "build 1.0.0 file linux-x64: missing or malformed sha256");
  CHECK(m.empty());
}

TEST_CASE("only schema 1 is read", "[manifest]") {
  manifest::Manifest m;
  std::string err;
  const auto with_schema = [&](const std::string& s) {
    return manifest::parse(R"({"schema": )" + s + R"(, "channels": {}})", m, err);
  };
  CHECK((with_schema("1") && with_schema("1.7") && with_schema("true")));
  for (const char* bad : {"2", "0.9", "null", "\"1\"", "[1]", "4294967297", "1e300"}) {
    INFO(bad);
    err.clear();
    CHECK_FALSE(with_schema(bad));
    CHECK(err == "unsupported manifest schema (expected schema 1)");
  }
  CHECK_FALSE(manifest::parse("[1]", m, err));
  CHECK(err == "unsupported manifest schema (expected schema 1)");
  CHECK_FALSE(manifest::parse(R"({"schema": 1, "channels": []})", m, err));
  CHECK(err == "manifest: missing channels object");
  CHECK(m.empty());
}

TEST_CASE("channels are read in name order and only whole ones reach the result", "[manifest]") {
  manifest::Manifest m;
  std::string err;
  const std::string good = "[" + build("1.0.0") + "]";
  SECTION("an invalid dev channel is visited before a valid stable one") {
    CHECK_FALSE(manifest::parse(doc(R"("stable": )" + good + R"(, "dev": [{}])"), m, err));
    CHECK(err == "build entry: missing version");
    CHECK(m.empty());
  }
  SECTION("a valid dev channel stays when stable fails; the old stable entry is untouched") {
    m["stable"].push_back(manifest::Build{"0.0.1", "", "", "", {}, {}});
    CHECK_FALSE(manifest::parse(doc(R"("stable": [)" + build("2.0.0") + R"(, 5], "dev": )" + good),
                                m, err));
    CHECK(err == "build entry: expected an object");
    CHECK((m.count("dev") == 1 && m.at("stable").size() == 1));
    CHECK(m.at("stable")[0].version == "0.0.1");
  }
  SECTION("a second parse replaces its channels and keeps the others") {
    REQUIRE(manifest::parse(doc(R"("stable": )" + good + R"(, "dev": )" + good), m, err));
    REQUIRE(manifest::parse(doc(R"("stable": [)" + build("3.0.0") + "]"), m, err));
    CHECK((m.at("stable")[0].version == "3.0.0" && m.at("dev")[0].version == "1.0.0"));
  }
  SECTION("each form refuses the other's channel shape") {
    CHECK_FALSE(manifest::parse(doc(R"("stable": )" + build("1.0.0")), m, err));
    CHECK(err == "channel stable: expected an array");
    CHECK_FALSE(manifest::parse_launcher(doc(R"("stable": )" + good), m, err));
    CHECK(err == "channel stable: expected an object");
    REQUIRE(
        manifest::parse_launcher(doc(R"("stable": )" + build("1.0.0") + R"(, "dev": {})"), m, err));
    CHECK(m.size() == 1);
  }
}

TEST_CASE("build selection picks by version ordering or exact text", "[manifest]") {
  manifest::Manifest m;
  std::string err;
  REQUIRE(manifest::parse(
      doc(R"("stable": [)" + build("0.1.0") + "," + build("0.2.0") + "," + build("0.1.5") +
          R"(], "dev": [)" + build("1.0.0", R"(, "notes": "a")") + "," + build("1.0.0+b2") + "]"),
      m, err));
  m["empty"];
  CHECK(manifest::latest(m, "stable")->version == "0.2.0");
  CHECK(manifest::latest(m, "dev")->notes == "a");
  CHECK((manifest::latest(m, "nightly") == nullptr && manifest::latest(m, "empty") == nullptr));
  CHECK(manifest::find(m, "stable", "0.1.0")->version == "0.1.0");
  CHECK(manifest::find(m, "dev", "1.0.0+b2")->version == "1.0.0+b2");
  CHECK((manifest::find(m, "stable", "0.1") == nullptr &&
         manifest::find(m, "x", "0.1.0") == nullptr));
}

TEST_CASE("check_build tests platform, artifact and source in that order", "[manifest]") {
  manifest::Build b;
  b.version = "1.0.0";
  std::string err = "untouched";
  b.files[""] = b.files["all"] = manifest::Artifact{"u", kSha, 0};
  CHECK_FALSE(manifest::check_build(b, "", false, err));
  CHECK(err == "this platform is not supported by the launcher update/download system");
  CHECK_FALSE(manifest::check_build(b, "linux-x64", true, err));
  CHECK(err == "build 1.0.0 has no artifact for platform 'linux-x64'");
  b.files["linux-x64"] = manifest::Artifact{"u", "short", 0};
  CHECK_FALSE(manifest::check_build(b, "linux-x64", true, err));
  CHECK(err == "build 1.0.0: malformed artifact entry");
  b.files["linux-x64"].sha256 = kSha;
  CHECK_FALSE(manifest::check_build(b, "linux-x64", true, err));
  CHECK(err == "engine build 1.0.0 lacks the LGPL source archive entry");
  err = "untouched";
  CHECK(manifest::check_build(b, "linux-x64", false, err));
  b.source = manifest::Artifact{"src.tar.gz", kSha, 0};
  CHECK(manifest::check_build(b, "linux-x64", true, err));
  CHECK(err == "untouched");
}
