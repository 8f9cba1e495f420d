#include "manifest.h"

#include <json/json.h>

#include <algorithm>
#include <exception>
#include <memory>

#include "util.h"

namespace manifest {
namespace {

// Member names sorted byte-wise, so channels and files are visited in a fixed order.
std::vector<std::string> sorted_keys(const Json::Value& obj) {
  std::vector<std::string> keys = obj.getMemberNames();
  std::sort(keys.begin(), keys.end());
  return keys;
}

const Json::Value* member(const Json::Value& obj, const std::string& key) {
  return obj.find(key.data(), key.data() + key.size());
}

// Text of a scalar member following JsonCpp's conversions; absent and null give "".
// Arrays and objects cannot be text: label + ": \"key\" is not text".
bool read_text(const Json::Value& obj, const std::string& key, const std::string& label,
               std::string& out, std::string& err) {
  const Json::Value* v = member(obj, key);
  if (v == nullptr || v->isNull()) {
    out.clear();
    return true;
  }
  if (v->isArray() || v->isObject()) {
    err = label + ": \"" + key + "\" is not text";
    return false;
  }
  out = v->asString();
  return true;
}

// "size" as unsigned 64-bit: integers 0..2^64-1, fractions truncated, booleans 1/0, null 0.
bool read_size(const Json::Value& v, uint64_t& out) {
  switch (v.type()) {
    case Json::nullValue:
      out = 0;
      return true;
    case Json::booleanValue:
      out = v.asBool() ? 1 : 0;
      return true;
    case Json::uintValue:
      out = v.asLargestUInt();
      return true;
    case Json::intValue:
      if (v.asLargestInt() < 0) return false;
      out = static_cast<uint64_t>(v.asLargestInt());
      return true;
    case Json::realValue: {
      // 2^64 itself is a double too, so the upper bound must be exclusive.
      const double d = v.asDouble();
      if (!(d >= 0.0 && d < 18446744073709551616.0)) return false;
      out = static_cast<uint64_t>(d);
      return true;
    }
    default:
      return false;
  }
}

// JsonCpp's conversion to a signed 32-bit integer compared with 1, without its exceptions.
bool schema_is_one(const Json::Value& v) {
  switch (v.type()) {
    case Json::booleanValue:
      return v.asBool();
    case Json::intValue:
      return v.asLargestInt() == 1;
    case Json::uintValue:
      return v.asLargestUInt() == 1;
    case Json::realValue:
      return v.asDouble() >= 1.0 && v.asDouble() < 2.0;
    default:
      return false;
  }
}

bool parse_artifact(const Json::Value& a, const std::string& label, Artifact& art,
                    std::string& err) {
  if (!a.isObject()) {
    err = label + ": expected an object";
    return false;
  }
  if (!read_text(a, "url", label, art.url, err)) return false;
  if (!read_text(a, "sha256", label, art.sha256, err)) return false;
  art.sha256 = util::lower(art.sha256);
  art.size = 0;
  const Json::Value* size = member(a, "size");
  if (size != nullptr && !read_size(*size, art.size)) {
    err = label + ": \"size\" is not a non-negative integer below 2^64";
    return false;
  }
  if (art.url.empty()) {
    err = label + ": missing url";
    return false;
  }
  if (art.sha256.size() != 64) {
    err = label + ": missing or malformed sha256";
    return false;
  }
  return true;
}

bool parse_files(const Json::Value& b, Build& build, std::string& err) {
  const Json::Value* files = member(b, "files");
  if (files == nullptr || !files->isObject()) {
    err = "build " + build.version + ": missing files object";
    return false;
  }
  for (const std::string& key : sorted_keys(*files)) {
    Artifact art;
    if (!parse_artifact(*member(*files, key), "build " + build.version + " file " + key, art, err))
      return false;
    build.files[key] = std::move(art);
  }
  return true;
}

bool parse_build(const Json::Value& b, std::string& err, Build& build) {
  if (!b.isObject()) {
    err = "build entry: expected an object";
    return false;
  }
  if (!read_text(b, "version", "build entry", build.version, err)) return false;
  if (build.version.empty()) {
    err = "build entry: missing version";
    return false;
  }
  const std::string label = "build " + build.version;
  if (!read_text(b, "released", label, build.released, err) ||
      !read_text(b, "notes", label, build.notes, err) ||
      !read_text(b, "min_engine", label, build.min_engine, err))
    return false;
  const Json::Value* source = member(b, "source");
  if (source != nullptr && !parse_artifact(*source, label + " source", build.source, err))
    return false;
  return parse_files(b, build, err);
}

bool is_empty_channel(const Json::Value& v) { return (v.isArray() || v.isObject()) && v.empty(); }

// Reads one channel's builds; nothing reaches out unless the whole channel is good.
bool parse_channel(const std::string& name, const Json::Value& v, bool launcher_form,
                   std::vector<Build>& builds, std::string& err) {
  if (launcher_form) {
    if (!v.isObject()) {
      err = "channel " + name + ": expected an object";
      return false;
    }
    builds.emplace_back();
    return parse_build(v, err, builds.back());
  }
  if (!v.isArray()) {
    err = "channel " + name + ": expected an array";
    return false;
  }
  builds.reserve(v.size());
  for (const Json::Value& element : v) {
    Build build;
    if (!parse_build(element, err, build)) return false;
    builds.push_back(std::move(build));
  }
  return true;
}

bool read_json(const std::string& text, Json::Value& root, std::string& err) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string report;
  try {
    if (reader->parse(text.data(), text.data() + text.size(), &root, &report)) return true;
  } catch (const std::exception&) {
    // The reader throws only when the document nests deeper than its stack limit.
    report = "nesting deeper than 1000 levels\n";
  }
  err = "invalid JSON: " + report;
  return false;
}

bool parse_common(const std::string& text, Manifest& out, std::string& err, bool launcher_form) {
  Json::Value root;
  if (!read_json(text, root, err)) return false;
  const Json::Value* schema = root.isObject() ? member(root, "schema") : nullptr;
  if (schema == nullptr || !schema_is_one(*schema)) {
    err = "unsupported manifest schema (expected schema 1)";
    return false;
  }
  const Json::Value* channels = member(root, "channels");
  if (channels == nullptr || !channels->isObject()) {
    err = "manifest: missing channels object";
    return false;
  }
  for (const std::string& name : sorted_keys(*channels)) {
    const Json::Value& v = *member(*channels, name);
    if (is_empty_channel(v)) continue;
    std::vector<Build> builds;
    if (!parse_channel(name, v, launcher_form, builds, err)) return false;
    out[name] = std::move(builds);
  }
  return true;
}

// Bad server data must end in a message; no JsonCpp exception may leave this component.
bool guarded_parse(const std::string& text, Manifest& out, std::string& err, bool launcher_form) {
  try {
    return parse_common(text, out, err, launcher_form);
  } catch (const std::exception& e) {
    err = std::string("manifest: unreadable value: ") + e.what();
    return false;
  }
}

}  // namespace

bool Artifact::is_valid() const { return !url.empty() && sha256.size() == 64; }

bool parse(const std::string& text, Manifest& out, std::string& err) {
  return guarded_parse(text, out, err, false);
}

bool parse_launcher(const std::string& text, Manifest& out, std::string& err) {
  return guarded_parse(text, out, err, true);
}

const Build* latest(const Manifest& m, const std::string& channel) {
  auto it = m.find(channel);
  if (it == m.end() || it->second.empty()) return nullptr;
  const Build* best = &it->second.front();
  for (const Build& b : it->second) {
    if (util::compare_versions(b.version, best->version) > 0) best = &b;
  }
  return best;
}

const Build* find(const Manifest& m, const std::string& channel, const std::string& version) {
  auto it = m.find(channel);
  if (it == m.end()) return nullptr;
  for (const Build& b : it->second) {
    if (b.version == version) return &b;
  }
  return nullptr;
}

bool check_build(const Build& build, const std::string& platform_key, bool need_source,
                 std::string& err) {
  if (platform_key.empty()) {
    err = "this platform is not supported by the launcher update/download system";
    return false;
  }
  auto it = build.files.find(platform_key);
  if (it == build.files.end()) {
    err = "build " + build.version + " has no artifact for platform '" + platform_key + "'";
    return false;
  }
  if (!it->second.is_valid()) {
    err = "build " + build.version + ": malformed artifact entry";
    return false;
  }
  if (need_source && !build.source.is_valid()) {
    err = "engine build " + build.version + " lacks the LGPL source archive entry";
    return false;
  }
  return true;
}

}  // namespace manifest
