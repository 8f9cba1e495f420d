#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <catch2/catch_test_macros.hpp>
#include <optional>

#include "archive.h"
#include "test_server.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// A ZIP writer whose every field can be bent, so it also makes hostile and corrupt archives.
struct Entry {
  std::string name;     // raw bytes: NUL, backslashes, anything
  std::string data{};   // uncompressed content
  uint16_t method = 0;  // 8 deflates data; any other method stores it as is
  uint32_t attr = 0;    // external attributes: the Unix mode in the high 16 bits
  uint16_t flags = 0;
  uint8_t host = 3;                      // 3 = Unix
  std::optional<uint32_t> crc{};         // default: CRC-32 of data
  std::optional<std::string> payload{};  // default: data, deflated for method 8
  std::optional<uint32_t> csize{};       // default: payload size
  std::optional<uint32_t> at{};          // another entry's local header; none written for this one
  std::string extra{}, comment{};        // extra field (in both headers), comment (central)
};

Bytef* bytes(const std::string& s) { return reinterpret_cast<Bytef*>(const_cast<char*>(s.data())); }

std::string le(uint64_t v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i, v >>= 8) s += static_cast<char>(v);
  return s;
}

std::string payload_of(const Entry& e) {
  if (e.payload || e.method != 8) return e.payload.value_or(e.data);
  uLongf n = compressBound(e.data.size());
  std::string out(n, '\0');  // a zlib stream: drop its 2-byte header and 4-byte trailer
  compress(bytes(out), &n, bytes(e.data), e.data.size());
  return out.substr(2, n - 6);
}

// From the flags on, shared by the local and the central header.
std::string common_fields(const Entry& e, const std::string& payload) {
  const uLong crc = crc32(0, bytes(e.data), e.data.size());
  return le(e.flags, 2) + le(e.method, 2) + le(0, 4) + le(e.crc.value_or(crc), 4) +
         le(e.csize.value_or(payload.size()), 4) + le(e.data.size(), 4) + le(e.name.size(), 2) +
         le(e.extra.size(), 2);
}

std::string local_header(const Entry& e) {
  const std::string payload = payload_of(e);
  return "PK\x03\x04" + le(20, 2) + common_fields(e, payload) + e.name + e.extra + payload;
}

std::string build(const std::vector<Entry>& entries, const std::string& comment = "") {
  std::string body, dir;
  for (const Entry& e : entries) {
    dir += "PK\x01\x02" + le(e.host << 8 | 20, 2) + le(20, 2) + common_fields(e, payload_of(e)) +
           le(e.comment.size(), 6) + le(e.attr, 4) + le(e.at.value_or(body.size()), 4) + e.name +
           e.extra + e.comment;
    if (!e.at) body += local_header(e);
  }
  return body + dir + "PK\x05\x06" + le(0, 4) + le(entries.size() * 0x10001, 4) +  // both counts
         le(dir.size(), 4) + le(body.size(), 4) + le(comment.size(), 2) + comment;
}

// A scratch directory holding the archive a.zip and, below it, the destination "out".
struct ZipScratch : Scratch {
  const std::string zip = *this / "a.zip", dest = *this / "out";
  std::string at(const std::string& rel) const { return dest + "/" + rel; }
  bool extract(const std::string& bytes, std::string& err) const {
    return archive::extract_zip(put(zip, bytes), dest, err);
  }
};

}  // namespace

TEST_CASE("zip members keep content, Unix modes less the umask and raw names", "[archive]") {
  ZipScratch t;
  std::string err = "untouched";
  const std::string zeros(3 << 20, '\0'), block(65527, 'b');  // zeros fill many out buffers
  // Two stored deflate blocks, 65537 bytes: the last compressed byte is a chunk of its own.
  const std::string edge =
      std::string("\0\xf7\xff\x08\0", 5) + block + std::string("\x01\0\0\xff\xff", 5);
  put(t.at("f.archive-tmp/stale"), "left by an earlier run");
  const std::vector<Entry> entries(
      {Entry{"f", "old"}, Entry{"bin/tool", "#!/bin/sh\n", 8, 0x81ED0000},
       Entry{"suid", "s", 0, 0x89ED0000}, Entry{"open", "o", 0, 0x81FF0000},
       Entry{"zero", "z", 0, 0x80000000},
       Entry{.name = "dos", .data = "d", .attr = 0x81FF0000, .host = 0}, Entry{"zeros", zeros, 8},
       Entry{"stored", zeros}, Entry{.name = "edge", .data = block, .method = 8, .payload = edge},
       Entry{.name = "empty", .extra = "UT", .comment = "c"}, Entry{"dir\\f", "bs"},
       Entry{"a..b", "2"}, Entry{"f", "new", 8}});
  const mode_t saved = ::umask(022);
  const int stdin_copy = dup(0);
  close(0);  // started without standard input: the archive gets descriptor 0
  const bool ok = t.extract(build(entries, "release build"), err);
  CHECK(::umask(saved) == 022);  // the extractor put the umask back
  CHECK(close(0) == -1);         // and closed it again
  dup2(stdin_copy, 0), close(stdin_copy);
  REQUIRE(ok);
  CHECK(err == "untouched");
  for (size_t i = 1; i < entries.size(); ++i) {  // the first "f" is replaced by the last
    const std::string path = t.at(entries[i].name);
    const unsigned mode = i == 2 ? 04755 : i < 4 ? 0755 : 0644;  // suid, then tool and open
    CHECK((slurp(path) == entries[i].data && fs::status(path).permissions() == fs::perms(mode)));
  }
  CHECK_FALSE(archive::extract_zip(t.zip, t.at("f/under-a-file"), err));
  CHECK(err == "could not create destination directory: " + t.at("f/under-a-file"));
}

TEST_CASE("hostile and corrupt archives are refused and write nothing", "[archive]") {
  ZipScratch t;
  const std::string good = build({Entry{"f", "1"}});
  const size_t at = good.rfind("PK\x01\x02"), end = good.size() - 22;
  auto patched = [&](size_t i, std::string b) { return std::string(good).replace(i, b.size(), b); };
  const std::string not_zip = "not a zip archive (no end-of-central-directory): " + t.zip;
  Entry enc{"plain", "data"}, enc_dir{"d/", ""}, inner{.name = "inner", .data = "x", .at = 35};
  enc.flags = enc_dir.flags = 1;  // readable data, right CRC: the flag alone must refuse it
  const std::tuple<std::string, std::string, bool> cases[] = {
      // archive, message, dest made
      {good.substr(0, 21), "archive too small to be a zip: " + t.zip, false},
      {std::string(64, 'x'), not_zip, false},
      {build({Entry{"f", "1"}}, "c") + "!", not_zip, false},
      {patched(end + 10, le(0xFFFF, 2)), "zip64 archives are not supported", false},
      {patched(end + 12, le(0xFFFFFFFF, 4)), "zip64 archives are not supported", false},
      {patched(end + 16, le(0xFFFFFFFF, 4)), "zip64 archives are not supported", false},
      {"PK\x06\x07" + le(0, 16) + build({}), "zip64 archives are not supported", false},
      {patched(end + 12, le(0xFFFFFF00, 4)), "archive: unexpected end of file", false},
      {build({Entry{"z0", "x"}, Entry{.name = "z1", .data = "x", .at = 0}}),  // the same data twice
       "archive: entry data overlaps another entry: z1", false},
      {build({Entry{"outer", local_header(inner)}, inner}),
       "archive: entry data overlaps another entry: inner", false},
      {build({Entry{.name = "f", .data = "1", .csize = 100}}),
       "archive: entry data overlaps the central directory: f", false},
      {build({Entry{"a/../../b", "x"}}), "archive: path traversal in zip: a/../../b", true},
      {build({Entry{"/etc/x", "x"}}), "archive: absolute path in zip: /etc/x", true},
      {build({Entry{"", "x"}}), "archive: empty entry name", true},
      {build({Entry{std::string("ok\0/../../x", 11), "x"}}),
       "archive: invalid entry name: ok\\x00/../../x", true},
      {build({enc}), "archive: encrypted entries are not supported: plain", true},
      {build({enc_dir}), "archive: encrypted entries are not supported: d/", true},
      {patched(0, "Q"), "archive: bad local header for entry: f", true},
      {build({Entry{.name = "far", .data = "1", .csize = 0xFFFFFFF0}}),
       "archive: entry data beyond 4 GiB: far", true},
      {patched(at + 3, "\x09"), "archive: bad central directory signature", true},
      {patched(at + 32, "\x01"), "archive: central directory entry overrun", true},
      {build({}).replace(8, 4, le(0x10001, 4)), "archive: truncated central directory", true},
  };
  std::string err;
  for (const auto& [bytes, message, dest_made] : cases) {
    CHECK_FALSE(t.extract(bytes, err));
    CHECK(err == message);
    CHECK(fs::exists(t.dest) == dest_made);
    for (const auto& p : fs::recursive_directory_iterator(t.root))
      CHECK((p.path() == t.zip || p.path() == t.dest));
    fs::remove_all(t.dest);
  }
  errno = EINTR;  // left over from an earlier call, it must not make the end of a file a retry
  CHECK_FALSE(archive::extract_zip("/sys/devices/system/cpu/online", t.dest, err));
  CHECK(err == "archive: unexpected end of file");         // sysfs: it reads shorter than its size
  CHECK_FALSE(archive::extract_zip(t.root, t.dest, err));  // a directory is no archive
  CHECK(err == "could not open archive: " + t.root);
}

TEST_CASE("a failing third member leaves the first two and no temporary file", "[archive]") {
  ZipScratch t;
  std::string err, message = "archive: deflate stream error";
  const std::string mkdir_first = "could not create directory: " + t.at("first/");
  Entry bad{"c/third", "payload"};
  SECTION("method 12") bad.method = 12, message = "archive: unsupported zip compression method 12";
  SECTION("wrong CRC-32") bad.crc = 0x12345678, message = "CRC mismatch in archive entry: c/third";
  SECTION("deflate cut short") bad.method = 8, bad.csize = 3;
  SECTION("deflate of size 0") bad.method = 8, bad.csize = 0;
  SECTION("not deflate data") bad.method = 8, bad.payload = "\xff\xff\xff\xff";
  SECTION("header past the end") bad.at = 1 << 30, message = "archive: unexpected end of file";
  SECTION("directory over a file") bad.name = "first/", message = mkdir_first;
  SECTION("file under a file") bad.name = "first/x", message = mkdir_first;
  SECTION("long name") bad.name = std::string(250, 'n'), message = "could not open for writing: ";
  CHECK_FALSE(t.extract(build({Entry{"first", "1"}, Entry{"b/second", "2", 8}, bad}), err));
  CHECK(err.starts_with(message));  // the long name's path is left out
  CHECK((slurp(t.at("first")) == "1" && slurp(t.at("b/second")) == "2"));
  CHECK_FALSE((fs::exists(t.at("c/third")) || fs::exists(t.at("c/third.archive-tmp"))));
}
