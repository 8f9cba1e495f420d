#include <catch2/catch_test_macros.hpp>
#include <string>

#include "manifest.h"

namespace {

// Sample manifests as the distribution server publishes them (tab-indented JSON).

const char kGameManifest[] =
    "{\n"
    "\t\"schema\": 1,\n"
    "\t\"channels\": {\n"
    "\t\t\"stable\": [\n"
    "\t\t\t{\n"
    "\t\t\t\t\"version\": \"0.2.0\",\n"
    "\t\t\t\t\"released\": \"2026-09-20\",\n"
    "\t\t\t\t\"min_engine\": \"5.17.0-quil.1\",\n"
    "\t\t\t\t\"files\": {\n"
    "\t\t\t\t\t\"all\": {\n"
    "\t\t\t\t\t\t\"url\": \"files/game/quillstep-game-0.2.0.zip\",\n"
    "\t\t\t\t\t\t\"sha256\": "
    "\"0123456789012345678901234567890123456789012345678901234567890123\",\n"
    "\t\t\t\t\t\t\"size\": 1048576\n"
    "\t\t\t\t\t}\n"
    "\t\t\t\t}\n"
    "\t\t\t},\n"
    "\t\t\t{\n"
    "\t\t\t\t\"version\": \"0.1.0\",\n"
    "\t\t\t\t\"files\": {\n"
    "\t\t\t\t\t\"all\": {\n"
    "\t\t\t\t\t\t\"url\": \"files/game/quillstep-game-0.1.0.zip\",\n"
    "\t\t\t\t\t\t\"sha256\": \"0000000000000000000000000000000000000000000000000000000000000000\"\n"
    "\t\t\t\t\t}\n"
    "\t\t\t\t}\n"
    "\t\t\t}\n"
    "\t\t],\n"
    "\t\t\"dev\": []\n"
    "\t}\n"
    "}";

const char kEngineManifest[] =
    "{\n"
    "\t\"schema\": 1,\n"
    "\t\"channels\": {\n"
    "\t\t\"stable\": [\n"
    "\t\t\t{\n"
    "\t\t\t\t\"version\": \"5.17.0-quil.0\",\n"
    "\t\t\t\t\"files\": {\n"
    "\t\t\t\t\t\"linux-x64\": {\n"
    "\t\t\t\t\t\t\"url\": \"files/engine/quillstep-engine-5.17.0-quil.0-linux-x64.zip\",\n"
    "\t\t\t\t\t\t\"sha256\": "
    "\"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\",\n"
    "\t\t\t\t\t\t\"size\": 999\n"
    "\t\t\t\t\t}\n"
    "\t\t\t\t},\n"
    "\t\t\t\t\"source\": {\n"
    "\t\t\t\t\t\"url\": \"files/source/quillstep-engine-5.17.0-quil.0-source.zip\",\n"
    "\t\t\t\t\t\"sha256\": \"0000000000000000000000000000000000000000000000000000000000000000\",\n"
    "\t\t\t\t\t\"size\": 888\n"
    "\t\t\t\t}\n"
    "\t\t\t}\n"
    "\t\t]\n"
    "\t}\n"
    "}";

const char kLauncherManifest[] =
    "{\n"
    "\t\"schema\": 1,\n"
    "\t\"channels\": {\n"
    "\t\t\"stable\": {\n"
    "\t\t\t\"version\": \"0.1.0\",\n"
    "\t\t\t\"files\": {\n"
    "\t\t\t\t\"linux-x64\": {\n"
    "\t\t\t\t\t\"url\": \"files/launcher/quillstep-launcher-0.1.0-linux-x64.zip\",\n"
    "\t\t\t\t\t\"sha256\": \"0000000000000000000000000000000000000000000000000000000000000000\"\n"
    "\t\t\t\t}\n"
    "\t\t\t}\n"
    "\t\t}\n"
    "\t}\n"
    "}";

}  // namespace

TEST_CASE("manifest: game manifest") {
  manifest::Manifest m;
  std::string err;
  REQUIRE(manifest::parse(kGameManifest, m, err));
  const manifest::Build* b = manifest::latest(m, "stable");
  REQUIRE(b != nullptr);
  CHECK(b->version == "0.2.0");
  CHECK(b->min_engine == "5.17.0-quil.1");
  CHECK(b->released == "2026-09-20");
  auto it = b->files.find("all");
  REQUIRE(it != b->files.end());
  CHECK(it->second.size == 1048576);
  CHECK(it->second.sha256 == "0123456789012345678901234567890123456789012345678901234567890123");
  CHECK(manifest::latest(m, "dev") == nullptr);
  REQUIRE(manifest::find(m, "stable", "0.1.0") != nullptr);
  CHECK(manifest::find(m, "stable", "9.9.9") == nullptr);
}

TEST_CASE("manifest: engine manifest") {
  manifest::Manifest m;
  std::string err;
  REQUIRE(manifest::parse(kEngineManifest, m, err));
  const manifest::Build* b = manifest::latest(m, "stable");
  REQUIRE(b != nullptr);
  CHECK(b->source.is_valid());
  CHECK(manifest::check_build(*b, "linux-x64", true, err));
  CHECK_FALSE(manifest::check_build(*b, "windows-x64", true, err));
  CHECK_FALSE(manifest::check_build(*b, "", true, err));
}

TEST_CASE("manifest: launcher manifest is single-entry per channel") {
  manifest::Manifest m;
  std::string err;
  REQUIRE(manifest::parse_launcher(kLauncherManifest, m, err));
  const manifest::Build* b = manifest::latest(m, "stable");
  REQUIRE(b != nullptr);
  CHECK(b->version == "0.1.0");
  CHECK_FALSE(manifest::parse(kLauncherManifest, m, err));
  CHECK_FALSE(manifest::parse_launcher(kGameManifest, m, err));
}

TEST_CASE("manifest: empty channels are ignored") {
  manifest::Manifest m;
  std::string err;
  const char text[] =
      "{\"schema\":1,\"channels\":{\n"
      "\t\t\"stable\":{\"version\":\"0.1.0\",\"files\":{\"linux-x64\":{\n"
      "\t\t\t\"url\":\"a.zip\",\"sha256\":"
      "\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\"}}},\n"
      "\t\t\"dev\":{}}}";
  REQUIRE(manifest::parse_launcher(text, m, err));
  CHECK(manifest::latest(m, "stable") != nullptr);
  CHECK(manifest::latest(m, "dev") == nullptr);
}

TEST_CASE("manifest: malformed input rejected") {
  manifest::Manifest m;
  std::string err;
  CHECK_FALSE(manifest::parse("no json at all", m, err));
  CHECK_FALSE(manifest::parse("{\"schema\": 2, \"channels\": {}}", m, err));
  CHECK_FALSE(manifest::parse("{\"schema\": 1}", m, err));
  CHECK_FALSE(manifest::parse("{\"schema\":1,\"channels\":{\"stable\":[{\"files\":{}}]}}", m, err));
  REQUIRE(manifest::parse(
      "{\"schema\":1,\"channels\":{\"stable\":[{\"version\":\"1.0.0\",\"files\":{}}]}}", m, err));
  CHECK_FALSE(manifest::check_build(*manifest::latest(m, "stable"), "linux-x64", false, err));
  CHECK_FALSE(manifest::parse(
      "{\"schema\":1,\"channels\":{\"stable\":[{\"version\":\"1.0.0\",\n"
      "\t\t  \"files\":{\"linux-x64\":{\"url\":\"a.zip\",\"sha256\":\"tooshort\"}}}]}}",
      m, err));
}

TEST_CASE("manifest: artifact sha256 is case-insensitive") {
  manifest::Manifest m;
  std::string err;
  REQUIRE(manifest::parse(kEngineManifest, m, err));
  const manifest::Build* b = manifest::latest(m, "stable");
  REQUIRE(b != nullptr);
  auto it = b->files.find("linux-x64");
  REQUIRE(it != b->files.end());
  CHECK(it->second.sha256 == std::string(64, 'a'));
}
