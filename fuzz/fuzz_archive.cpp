// Feeds the input to archive::extract_zip as an archive file and checks that extraction stays
// inside a fresh destination and leaves no temporary member file behind, whatever the result;
// that no archive whose members share bytes is extracted, and that one refused for it wrote
// nothing.
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive.h"
#include "scratch.h"

namespace fs = std::filesystem;

namespace {

constexpr char kTmpSuffix[] = ".archive-tmp";
constexpr char kCanaryText[] = "must survive every extraction\n";
// Caps what one run may write: zlib inflates at most about 1032 bytes per input byte.
constexpr uint64_t kMaxOutput = uint64_t{32} << 20;
constexpr uint64_t kInflateRatio = 1040;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_archive: %s\n", what.c_str());
  std::abort();
}

uint32_t le(const uint8_t* p, int width) {
  uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// An upper bound of the bytes the extractor could write: every central directory signature
// anywhere in the input counts as an entry, each reading at most the whole file.
uint64_t output_bound(const uint8_t* data, size_t size) {
  uint64_t total = 0;
  for (size_t i = 0; i + 46 <= size; ++i) {
    if (le(data + i, 4) != 0x02014B50) continue;
    const uint64_t method = le(data + i + 10, 2);
    const uint64_t read = std::min<uint64_t>(le(data + i + 20, 4), size);
    total += method == 8 ? read * kInflateRatio : read;
  }
  return total;
}

// Read independently of the extractor: after a success, whether two file members' bytes (local
// header to the end of the data) or a member's and the central directory's share a byte.
bool members_overlap(const uint8_t* data, size_t size) {
  size_t end = size;
  for (size_t p = size - 22 + 1; p-- > 0 && end == size;)
    if (le(data + p, 4) == 0x06054B50 && p + 22 + le(data + p + 20, 2) == size) end = p;
  if (end == size) fail("extracted without an end record");
  const uint64_t dir = le(data + end + 16, 4), dir_size = le(data + end + 12, 4);
  std::vector<std::pair<uint64_t, uint64_t>> spans;  // none empty, so neighbours show any overlap
  if (dir_size > 0) spans.push_back({dir, dir + dir_size});
  for (uint64_t i = 0, c = dir; i < le(data + end + 10, 2); ++i) {
    const uint8_t* h = data + c;
    const uint64_t name_len = le(h + 28, 2), local = le(h + 42, 4);
    if (h[46 + name_len - 1] != '/') {
      const uint8_t* l = data + local;
      spans.push_back({local, local + 30 + le(l + 26, 2) + le(l + 28, 2) + le(h + 20, 4)});
    }
    c += 46 + name_len + le(h + 30, 2) + le(h + 32, 2);
  }
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); ++i)
    if (spans[i].first < spans[i - 1].second) return true;
  return false;
}

// One scratch directory per process: the archive file, a canary and the destination.
struct Scratch : ScratchDir {
  // The destination sits one level down so that a climbing name is still caught in here.
  fs::path zip = root / "in.zip", canary = root / "canary", dest = root / "out";

  Scratch() : ScratchDir("fuzz-archive") { std::ofstream(canary, std::ios::binary) << kCanaryText; }
};

Scratch& scratch() {
  static Scratch s;
  return s;
}

void write_input(const fs::path& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out.flush()) fail("cannot write " + path.string());
}

void check_scratch(const Scratch& s, size_t input_size) {
  const std::set<fs::path> allowed = {s.zip, s.canary, s.dest};
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(s.root, ec)) {
    if (!allowed.count(entry.path()))
      fail("extraction wrote outside the destination: " + entry.path().string());
  }
  if (ec) fail("scratch directory vanished: " + s.root.string());
  std::ifstream in(s.canary, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text != kCanaryText) fail("the file beside the destination was changed or removed");
  if (fs::file_size(s.zip, ec) != input_size || ec) fail("the archive file was changed");
}

// A member may itself be named "x.archive-tmp"; such a name stands in the input verbatim.
bool named_in_input(const std::string& name, const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  return input.find(name) != std::string_view::npos;
}

void check_dest(const Scratch& s, const uint8_t* data, size_t size) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(s.dest, ec))) return;
  if (!fs::is_directory(fs::symlink_status(s.dest, ec))) fail("the destination is not a directory");
  // The default options do not follow directory links.
  for (fs::recursive_directory_iterator it(s.dest, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::file_status st = it->symlink_status(ec);
    if (fs::is_symlink(st)) fail("extraction created a symbolic link: " + it->path().string());
    const std::string name = it->path().filename().string();
    if (name.size() >= sizeof kTmpSuffix - 1 &&
        name.compare(name.size() - (sizeof kTmpSuffix - 1), std::string::npos, kTmpSuffix) == 0 &&
        !named_in_input(name, data, size))
      fail("a temporary member file survived: " + it->path().string());
  }
  if (ec) fail("cannot walk the destination: " + ec.message());
}

// Set while the extractor runs on this thread: its rename retries then skip their pauses.
thread_local bool g_extracting = false;

}  // namespace

// A failed rename is retried after pauses of 200 ms, which would dominate every run that
// renames a file onto a directory. The retries still happen; only the waiting is skipped.
extern "C" int nanosleep(const struct timespec* req, struct timespec* rem) {
  if (g_extracting) return 0;
  return static_cast<int>(syscall(SYS_nanosleep, req, rem));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (output_bound(data, size) > kMaxOutput) return -1;  // too costly, not interesting
  Scratch& s = scratch();
  write_input(s.zip, data, size);
  std::string err = "untouched";
  g_extracting = true;
  const bool ok = archive::extract_zip(s.zip.string(), s.dest.string(), err);
  g_extracting = false;
  if (ok && err != "untouched") fail("success changed the error text: " + err);
  if (!ok && (err.empty() || err == "untouched")) fail("failure without a message");
  if (ok && members_overlap(data, size)) fail("extracted members that share bytes");
  if (!ok && err.rfind("archive: entry data overlaps ", 0) == 0 && fs::exists(s.dest))
    fail("refused overlapping members after writing: " + err);
  check_scratch(s, size);
  check_dest(s, data, size);
  std::error_code ec;
  fs::remove_all(s.dest, ec);
  if (ec) fail("cannot remove the destination: " + ec.message());
  return 0;
}
