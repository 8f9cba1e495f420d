// Checks that util::compare_versions is a total preorder on the versions in the input: results in
// {-1, 0, +1}, reflexive, antisymmetric, transitive (equality included), build metadata ignored.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "util.h"

namespace {

constexpr size_t kMaxVersions = 10;

// Pieces that make versions collide often, so that equal and neighbouring ones are common.
const char* const kPieces[] = {"0",  "1",    "2",  "9",     "10", "007", "18446744073709551615",
                               "18446744073709551616", "a", "A", "rc", "quil", "",  ".",
                               "-",  "+",    "..", "x"};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_versions: %s\n", what.c_str());
  std::abort();
}

int cmp(const std::string& a, const std::string& b) {
  const int r = util::compare_versions(a, b);
  if (r < -1 || r > 1) fail("result out of range for [" + a + "] [" + b + "]");
  return r;
}

// A first byte with the high bit set builds versions from pieces, else the input is split on LF.
std::vector<std::string> versions_from(const uint8_t* data, size_t size) {
  std::vector<std::string> out(1);
  if (size > 0 && (data[0] & 0x80)) {
    for (size_t i = 1; i < size && out.size() <= kMaxVersions; ++i) {
      if (data[i] == 0xFF) out.emplace_back();
      else out.back() += kPieces[data[i] % (sizeof kPieces / sizeof kPieces[0])];
    }
  } else {
    for (size_t i = 0; i < size && out.size() <= kMaxVersions; ++i) {
      if (data[i] == '\n') out.emplace_back();
      else out.back() += static_cast<char>(data[i]);
    }
  }
  if (out.size() > kMaxVersions) out.resize(kMaxVersions);
  return out;
}

// Every pair is compared once; the checks then run over the table of results.
void check_order(const std::vector<std::string>& v) {
  const size_t n = v.size();
  std::vector<int> r(n * n);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < n; ++j) r[i * n + j] = cmp(v[i], v[j]);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < n; ++j) {
      if (r[i * n + j] != -r[j * n + i]) fail("not antisymmetric: [" + v[i] + "] [" + v[j] + "]");
      for (size_t k = 0; k < n; ++k) {
        const int ab = r[i * n + j], bc = r[j * n + k], ac = r[i * n + k];
        if (ab <= 0 && bc <= 0 && ac > 0)
          fail("not transitive: [" + v[i] + "] [" + v[j] + "] [" + v[k] + "]");
        if (ab == 0 && ac != r[j * n + k])
          fail("equal versions order differently: [" + v[i] + "] [" + v[j] + "] against [" +
               v[k] + "]");
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> v = versions_from(data, size);
  for (const std::string& a : v) {
    if (cmp(a, a) != 0) fail("not reflexive: [" + a + "]");
    if (cmp(a, a + "+fuzz") != 0 || cmp(a + "+1", a + "+2-x") != 0)
      fail("build metadata counted: [" + a + "]");
  }
  check_order(v);
  return 0;
}
