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
  bool follow_redirects = true;   // at most 10
  bool verify_tls = true;
  std::string user_agent = kLauncherName;  // sent as user_agent + "/" + kLauncherVersion
};

// curl_global_init; false when it fails. Once per process before any transfer.
bool init();
// curl_global_cleanup; once on every exit after a successful init().
void deinit();

// Appends the response to body. On failure err = "GET <url> failed: <detail>" and body is emptied.
bool fetch_string(const std::string& url, std::string& body, std::string& err, const Options& opts);
// Writes the response to path (created or truncated) with no total time limit, reporting
// progress when progress is not empty. A path that cannot be opened fails before any request;
// on a failed transfer or write the partial file stays at path for the caller to remove.
bool fetch_to_file(const std::string& url, const std::string& path, std::string& err,
                   const ProgressFn& progress, const Options& opts);

}  // namespace http
