#include "download.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "util.h"

namespace download {

std::string resolve_url(const std::string& base_url, const std::string& url) {
  if (util::starts_with(url, "http://") || util::starts_with(url, "https://")) return url;
  return util::join_paths(base_url, url);
}

namespace {

std::string size_mismatch(const std::string& url, uint64_t size, uint64_t length) {
  return "size mismatch for " + url + " (expected " + util::format_bytes(size) + ", got " +
         util::format_bytes(length) + ")";
}

// Checks digest and, when size is not 0, length of the downloaded file at part. The length comes
// from the file system, so memory use does not grow with the file.
bool check_file(const std::string& part, const std::string& url, const std::string& sha256,
                uint64_t size, std::string& err) {
  const std::string expected = util::lower(sha256);
  const std::string actual = util::sha256_file(part);
  if (actual.empty()) {
    err = "could not hash downloaded file: " + part;
    return false;
  }
  if (actual != expected) {
    err = "checksum mismatch for " + url + " (expected " + expected + ", got " + actual + ")";
    return false;
  }
  if (size == 0) return true;
  std::error_code ec;
  const uintmax_t length = std::filesystem::file_size(part, ec);
  if (ec) {
    err = "could not open file: " + part;
    return false;
  }
  if (length != size) {
    err = size_mismatch(url, size, length);
    return false;
  }
  return true;
}

uint64_t clock_ms() { return static_cast<uint64_t>(std::time(nullptr)) * 1000; }

void draw(const std::string& label, console_progress::State& state, uint64_t now, uint64_t total) {
  const uint64_t clock = clock_ms();
  const uint64_t elapsed = clock - state.last_print_ms;  // wraps when the clock goes back
  if (total == 0) {
    if (elapsed < 200) return;
    state.last_print_ms = clock;
    std::printf("\r%-24s %s ...", label.c_str(), util::format_bytes(now).c_str());
    std::fflush(stdout);
    return;
  }
  if (now != total && elapsed < 200) return;
  state.last_print_ms = clock;
  const int percent = static_cast<int32_t>(now * 100 / total);
  std::printf("\r%-24s %3d%%  %s / %s", label.c_str(), percent, util::format_bytes(now).c_str(),
              util::format_bytes(total).c_str());
  std::fflush(stdout);
  if (now == total) std::printf("\n");
}

}  // namespace

bool verified(const std::string& base_url, const std::string& url, const std::string& sha256,
              uint64_t size, const std::string& dest, const http::Options& opts, std::string& err,
              const http::ProgressFn& progress, Where where) {
  const std::string resolved = resolve_url(base_url, url);
  const std::string part = dest + ".part";
  // The fetch itself replaces a leftover file at part, never following a link.
  if (where == Where::kOwnCache) util::remove_tree(part);
  bool ok = http::fetch_to_file(resolved, part, err, progress, opts, size);
  if (!ok && size != 0) {
    // Stopped because more than size arrived: say so as the length test would.
    std::error_code ec;
    const uintmax_t length = std::filesystem::file_size(part, ec);
    if (!ec && length > size) err = size_mismatch(url, size, length);
  }
  ok = ok && check_file(part, url, sha256, size, err) && util::rename_file(part, dest, err);
  if (!ok) ::unlink(part.c_str());  // what the fetch created, never a directory kept there
  return ok;
}

bool verified(const std::string& base_url, const manifest::Artifact& artifact,
              const std::string& dest, const http::Options& opts, std::string& err,
              const http::ProgressFn& progress, Where where) {
  return verified(base_url, artifact.url, artifact.sha256, artifact.size, dest, opts, err, progress,
                  where);
}

console_progress::console_progress(const std::string& label) {
  if (!isatty(fileno(stdout))) return;
  auto state = std::make_shared<State>();
  fn = [state, shown = util::printable(label)](uint64_t now, uint64_t total) {
    draw(shown, *state, now, total);
  };
}

}  // namespace download
