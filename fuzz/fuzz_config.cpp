// Loads the input as a settings file and checks the stored entries, the typed getters and that
// what save_file writes loads back to the same map.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "config.h"
#include "scratch.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_config: %s\n", what.c_str());
  std::abort();
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool trimmed(const std::string& s) {
  return s.empty() || (!is_blank(s.front()) && !is_blank(s.back()));
}

struct Scratch : ScratchDir {
  fs::path input = root / "in.conf", saved = root / "saved.conf";

  Scratch() : ScratchDir("fuzz-config") {}
};

Scratch& scratch() {
  static Scratch s;
  return s;
}

void check_entries(const Config& c) {
  for (const auto& [key, value] : c.values) {
    if (key.empty()) fail("an empty key was stored");
    if (!trimmed(key) || !trimmed(value)) fail("untrimmed entry: [" + key + "]=[" + value + "]");
    if (key.find_first_of("#=\n") != std::string::npos) fail("key holds # = or LF: " + key);
    if (value.find_first_of("#\n") != std::string::npos) fail("value holds # or LF: " + value);
  }
}

// The getters must agree with the stored text for every key they are asked about.
void check_getters(const Config& c) {
  for (const auto& [key, value] : c.values) {
    if (c.get_string(key, "def") != (value.empty() ? "def" : value)) fail("get_string " + key);
    const bool t = c.get_bool(key, true), f = c.get_bool(key, false);
    if (t != f && !(t && !f)) fail("get_bool ignores its default inconsistently: " + key);
    const int64_t a = c.get_s64(key, 1), b = c.get_s64(key, 2);
    if (a != b && (a != 1 || b != 2)) fail("get_s64 ignores its default inconsistently: " + key);
  }
  // No stored key can hold "=": the first one on a line ends the key.
  if (c.get_string("missing=", "d") != "d" || !c.get_bool("missing=", true) ||
      c.get_s64("missing=", -5) != -5)
    fail("a missing key did not give the default");
}

void check_roundtrip(const Config& c, const Scratch& s) {
  std::string err;
  if (!c.save_file(s.saved.string(), err)) fail("save_file failed: " + err);
  Config again;
  if (!again.load_file(s.saved.string(), err)) fail("a saved file does not load: " + err);
  if (again.values != c.values) fail("save/load changed the entries");
  Config filled = c;
  Config::apply_defaults(filled);
  for (const auto& [key, value] : c.values)
    if (filled.values.at(key) != value) fail("apply_defaults overwrote " + key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Scratch& s = scratch();
  {
    std::ofstream out(s.input, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.flush()) fail("cannot write the input file");
  }
  Config c;
  std::string err = "untouched";
  const bool ok = c.load_file(s.input.string(), err);
  if (ok && err != "untouched") fail("success changed the error text: " + err);
  if (!ok && err.rfind("invalid line ", 0) != 0 && err.rfind("empty key on line ", 0) != 0)
    fail("unexpected failure: " + err);
  // A failed load keeps the lines before the bad one: those must be sound too.
  check_entries(c);
  check_getters(c);
  check_roundtrip(c, s);
  return 0;
}
