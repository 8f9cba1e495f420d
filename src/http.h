#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "version.h"

// One blocking GET per call over libcurl.
namespace http {

// Bytes received so far, total announced (0 while unknown).
using ProgressFn = std::function<void(uint64_t now, uint64_t total)>;

struct Options {
  int32_t timeout_ms = 30000;     // whole transfer; 0 = no limit
  int32_t low_speed_time_s = 60;  // abort below 1 byte/s for this long; 0 = no stall guard
  bool follow_redirects = true;   // at most 10, never from https to another scheme
  bool verify_tls = true;
  std::string user_agent = kLauncherName;  // sent as user_agent + "/" + kLauncherVersion
};

// curl_global_init; false when it fails. Once per process before any transfer.
bool init();
// curl_global_cleanup; once on every exit after a successful init().
void deinit();

// Appends the response to body. On failure err = "GET <url> failed: <detail>" and body is emptied;
// a response of more than 16 MiB fails with "GET <url> failed: response too large (more than
// 16.0 MiB)".
bool fetch_string(const std::string& url, std::string& body, std::string& err, const Options& opts);
// Writes the response to a new file at path with no total time limit, reporting progress when
// progress is not empty. A file or link left at path is removed first, never written through; a
// path that still cannot be created (a directory there) fails with "could not open for writing:
// <path>" before any request. When max_bytes is not 0 the transfer stops once more bytes than
// that have arrived, keeping the piece that passed it in the file. On a failed transfer or write
// the partial file stays at path for the caller to remove.
bool fetch_to_file(const std::string& url, const std::string& path, std::string& err,
                   const ProgressFn& progress, const Options& opts, uint64_t max_bytes = 0);

}  // namespace http
