#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "http.h"
#include "manifest.h"

namespace download {

// url unchanged when it begins with "http://" or "https://", else joined to base_url.
std::string resolve_url(const std::string& base_url, const std::string& url);

// Where a download goes. In the launcher's own cache whatever was left at the ".part" name is
// removed, a directory too; in a directory of the user's only a file is, and a directory there
// fails the download.
enum class Where { kOwnCache, kUserDirectory };

// Downloads url (absolute, or relative to base_url) to dest through dest + ".part" and accepts it
// only when its SHA-256 and, when size is not 0, its length match; more than size bytes end the
// transfer at once. On failure no file is left at dest + ".part" (a directory kept there by
// kUserDirectory fails with "could not open for writing: <dest>.part") and err holds the reason;
// dest is untouched unless the final move's copy fallback failed part-way.
bool verified(const std::string& base_url, const std::string& url, const std::string& sha256,
              uint64_t size, const std::string& dest, const http::Options& opts, std::string& err,
              const http::ProgressFn& progress = {}, Where where = Where::kOwnCache);
bool verified(const std::string& base_url, const manifest::Artifact& artifact,
              const std::string& dest, const http::Options& opts, std::string& err,
              const http::ProgressFn& progress = {}, Where where = Where::kOwnCache);

// A one-line terminal progress display for label (escaped with util::printable), drawn at most
// once per second; converts to an empty http::ProgressFn when standard output is not a terminal.
struct console_progress {
  struct State {
    uint64_t last_print_ms = 0;
  };

  explicit console_progress(const std::string& label);
  operator http::ProgressFn() const { return fn; }

  http::ProgressFn fn;
};

}  // namespace download
