#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "http.h"
#include "manifest.h"

namespace download {

// url unchanged when it begins with "http://" or "https://", else joined to base_url.
std::string resolve_url(const std::string& base_url, const std::string& url);

// Downloads url (absolute, or relative to base_url) to dest through dest + ".part" and accepts it
// only when its SHA-256 and, when size is not 0, its length match; more than size bytes end the
// transfer at once. On failure no file is left at dest + ".part" (a directory there fails with
// "could not open for writing: <dest>.part" and stays) and err holds the reason; dest is untouched
// unless the final move's copy fallback failed part-way.
bool verified(const std::string& base_url, const std::string& url, const std::string& sha256,
              uint64_t size, const std::string& dest, const http::Options& opts, std::string& err,
              const http::ProgressFn& progress = {});
bool verified(const std::string& base_url, const manifest::Artifact& artifact,
              const std::string& dest, const http::Options& opts, std::string& err,
              const http::ProgressFn& progress = {});

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
