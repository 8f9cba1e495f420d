#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Release manifests: parsing and build selection. Fetching is the installer's.
namespace manifest {

struct Artifact {
  std::string url;     // absolute, or relative to the distribution base URL
  std::string sha256;  // lower-cased; 64 characters after a successful parse
  uint64_t size = 0;   // 0 = not published

  bool is_valid() const;
};

struct Build {
  std::string version;
  std::string released;
  std::string notes;
  std::string min_engine;
  Artifact source;
  std::map<std::string, Artifact> files;  // by platform key or "all"
};

// Channel name -> builds in document order.
using Manifest = std::map<std::string, std::vector<Build>>;

// Engine and game manifests: each channel an array of builds. Adds to out; never throws.
bool parse(const std::string& text, Manifest& out, std::string& err);
// Launcher manifest: each channel one build object.
bool parse_launcher(const std::string& text, Manifest& out, std::string& err);
// The build with the greatest version (earliest among equals), or nullptr.
const Build* latest(const Manifest& m, const std::string& channel);
// The first build whose version equals version byte for byte, or nullptr.
const Build* find(const Manifest& m, const std::string& channel, const std::string& version);
// True when build has a valid artifact for platform_key (and a valid source when need_source).
bool check_build(const Build& build, const std::string& platform_key, bool need_source,
                 std::string& err);

}  // namespace manifest
