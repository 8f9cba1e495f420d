#include <catch2/catch_test_macros.hpp>
#include <string>

#include "config.h"
#include "temp_dir.h"
#include "util.h"

namespace {

// A hand-written settings file: comments, an empty line, optional blanks around "=", a trailing
// comment and a value followed by a blank.
const char kSampleConf[] =
    "# comment\n"
    "server_url = https://example.org \n"
    "\n"
    "channel=dev # trailing comment\n"
    "self_update = false\n"
    "insecure_tls = 1\n";

const char kBadConf[] =
    "ok = 1\n"
    "this line has no separator\n";

// Our own copy, so a changed built-in default shows up here.
const char kExpectedDefaultServer[] = "https://downloads.quillstep.net";

}  // namespace

TEST_CASE("config parsing") {
  TestTempDir tmp("config");
  std::string err;

  SECTION("load key=value file") {
    REQUIRE(util::write_whole_file(tmp.file("a.conf"), kSampleConf, err));
    Config config;
    REQUIRE(config.load_file(tmp.file("a.conf"), err));
    CHECK(config.get_string(config_keys::server_url) == "https://example.org");
    CHECK(config.get_string(config_keys::channel) == "dev");
    CHECK(config.get_bool(config_keys::self_update, true) == false);
    CHECK(config.get_bool(config_keys::insecure_tls, false) == true);
    CHECK(config.get_string("missing", "fb") == "fb");
    CHECK(config.get_bool("missing", true) == true);
    CHECK(config.get_s64("missing", 42) == 42);
  }

  SECTION("invalid content rejected") {
    REQUIRE(util::write_whole_file(tmp.file("bad.conf"), kBadConf, err));
    Config config;
    CHECK_FALSE(config.load_file(tmp.file("bad.conf"), err));
  }

  SECTION("defaults only fill gaps") {
    Config config;
    config.set_string(config_keys::channel, "dev");
    Config::apply_defaults(config);
    CHECK(config.get_string(config_keys::channel) == "dev");
    CHECK(config.get_string(config_keys::server_url) == kExpectedDefaultServer);
    CHECK(config.get_bool(config_keys::update_on_launch, false) == true);
    CHECK(config.get_string(config_keys::data_dir) == "");
  }

  SECTION("save/load roundtrip") {
    Config config;
    Config::apply_defaults(config);
    config.set_string("custom_key", "custom value");
    REQUIRE(config.save_file(tmp.file("out.conf"), err));
    Config again;
    REQUIRE(again.load_file(tmp.file("out.conf"), err));
    CHECK(again.get_string("custom_key") == "custom value");
    CHECK(again.get_string(config_keys::server_url) == kExpectedDefaultServer);
  }
}
