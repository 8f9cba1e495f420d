// Parses the input as an engine/game manifest and as a launcher manifest, then checks what every
// accepted document promises to the installer: valid artifacts, lower-case digests, a newest build
// that no other build beats, exact look-ups, and installability tests that agree with the records.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "manifest.h"
#include "util.h"

namespace {

const char* const kPlatforms[] = {"linux-x64", "all", "", "windows-x64"};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_manifest: %s\n", what.c_str());
  std::abort();
}

void check_artifact(const manifest::Artifact& a, const std::string& where) {
  if (!a.is_valid()) fail(where + ": an accepted artifact is not valid");
  for (char c : a.sha256)
    if (c >= 'A' && c <= 'Z') fail(where + ": digest not lower-cased: " + a.sha256);
}

void check_build_records(const manifest::Build& b, const std::string& where) {
  if (b.version.empty()) fail(where + ": build without a version");
  const manifest::Artifact& s = b.source;
  if (!s.is_valid() && !(s.url.empty() && s.sha256.empty() && s.size == 0))
    fail(where + ": half-filled source artifact");
  for (const auto& [key, art] : b.files) check_artifact(art, where + " file " + key);
}

// check_build must say yes exactly when the records allow it, and keep err on success.
void check_installability(const manifest::Build& b, const std::string& where) {
  for (const char* platform : kPlatforms) {
    for (bool need_source : {false, true}) {
      const auto it = b.files.find(platform);
      const bool expected = *platform != '\0' && it != b.files.end() && it->second.is_valid() &&
                            (!need_source || b.source.is_valid());
      std::string err = "untouched";
      const bool ok = manifest::check_build(b, platform, need_source, err);
      if (ok != expected) fail(where + ": check_build disagrees for '" + platform + "'");
      if (ok ? err != "untouched" : (err.empty() || err == "untouched"))
        fail(where + ": check_build error text wrong: " + err);
    }
  }
}

void check_selection(const manifest::Manifest& m, const std::string& channel,
                     const std::vector<manifest::Build>& builds) {
  const manifest::Build* best = manifest::latest(m, channel);
  if (builds.empty() ? best != nullptr : best == nullptr) fail(channel + ": latest wrong");
  if (best == nullptr) return;
  bool seen_best = false;
  for (const manifest::Build& b : builds) {
    const bool is_best = &b == best;
    const int c = util::compare_versions(b.version, best->version);
    // Earlier builds must be strictly older, later ones not newer: the earliest maximum wins.
    if (c > 0 || (!seen_best && !is_best && c == 0)) fail(channel + ": latest is not the newest");
    seen_best = seen_best || is_best;
    const manifest::Build* first = &b;
    for (const manifest::Build& e : builds)
      if (e.version == b.version && &e < first) first = &e;
    if (manifest::find(m, channel, b.version) != first)
      fail(channel + ": find did not return the first build " + b.version);
  }
  const std::string other = best->version + "\x01";
  bool listed = false;
  for (const manifest::Build& b : builds) listed = listed || b.version == other;
  if (!listed && manifest::find(m, channel, other) != nullptr)
    fail(channel + ": find matched an inexact version");
}

void check_manifest(const manifest::Manifest& m, bool launcher) {
  for (const auto& [channel, builds] : m) {
    if (builds.empty()) fail("channel " + channel + " kept without builds");
    if (launcher && builds.size() != 1) fail("launcher channel " + channel + " has several builds");
    for (const manifest::Build& b : builds) {
      check_build_records(b, "build " + b.version);
      check_installability(b, "build " + b.version);
    }
    check_selection(m, channel, builds);
  }
  const std::string absent = "\x01no such channel";
  if (!m.count(absent) &&
      (manifest::latest(m, absent) != nullptr || manifest::find(m, absent, "1") != nullptr))
    fail("look-up in a missing channel found something");
}

void run(const std::string& text, bool launcher) {
  manifest::Manifest m;
  std::string err = "untouched";
  const bool ok = launcher ? manifest::parse_launcher(text, m, err) : manifest::parse(text, m, err);
  if (ok && err != "untouched") fail("success changed the error text: " + err);
  if (!ok && (err.empty() || err == "untouched")) fail("failure without a message");
  // A failed parse may keep the channels read before the failing one; they must be whole.
  check_manifest(m, launcher);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  run(text, false);
  run(text, true);
  return 0;
}
