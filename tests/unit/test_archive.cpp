#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <catch2/catch_test_macros.hpp>
#include <optional>

#include "archive.h"
#include "test_server.h"

namespace fs = std::filesystem;
using testsupport::put;
using testsupport::slurp;

namespace {

// A ZIP writer whose every field can be bent, so it also makes hostile and corrupt archives.
struct Entry {
  std::string name;     // raw bytes: NUL, backslashes, anything
  std::string data;     // uncompressed content
  uint16_t method = 0;  // 8 deflates data; any other method stores it as is
  uint32_t external_attr = 0;
  uint16_t flags = 0;
  uint8_t host = 3;                           // 3 = Unix
  std::optional<uint32_t> crc{};              // default: CRC-32 of data
  std::optional<std::string> payload{};       // default: data, deflated for method 8
  std::optional<uint32_t> compressed_size{};  // default: payload size
};

// Writes v as n little-endian bytes at s[at], or appends them when at is npos.
inline void put_le(std::string& s, uint32_t v, int n, size_t at = std::string::npos) {
  for (int i = 0; i < n; ++i) {
    const char c = static_cast<char>((v >> (8 * i)) & 0xFF);
    at == std::string::npos ? s.push_back(c) : void(s[at + i] = c);
  }
}

inline std::string payload_of(const Entry& e) {
  if (e.payload) return *e.payload;
  if (e.method != 8) return e.data;
  uLongf n = compressBound(static_cast<uLong>(e.data.size()));
  std::string out(n, '\0');  // a zlib stream: drop its 2-byte header and 4-byte trailer
  compress(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(e.data.data()),
           static_cast<uLong>(e.data.size()));
  return out.substr(2, n - 6);
}

// Fields from the flags on, shared by the local and the central header.
inline std::string common_fields(const Entry& e) {
  std::string s;
  const uint32_t crc =
      crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size()));
  put_le(s, e.flags, 2), put_le(s, e.method, 2), put_le(s, 0, 4);  // time, date
  put_le(s, e.crc.value_or(crc), 4);
  put_le(s, e.compressed_size.value_or(static_cast<uint32_t>(payload_of(e).size())), 4);
  put_le(s, static_cast<uint32_t>(e.data.size()), 4);
  put_le(s, static_cast<uint32_t>(e.name.size()), 2), put_le(s, 0, 2);  // no extra field
  return s;
}

inline std::string local_header(const Entry& e) {
  return std::string("PK\x03\x04\x14\x00", 6) + common_fields(e) + e.name + payload_of(e);
}

inline std::string central_header(const Entry& e, uint32_t local_offset) {
  std::string s = "PK\x01\x02";
  put_le(s, (uint32_t{e.host} << 8) | 20, 2), put_le(s, 20, 2);
  s += common_fields(e);
  put_le(s, 0, 2), put_le(s, 0, 4);  // comment length, disk, internal attributes
  put_le(s, e.external_attr, 4), put_le(s, local_offset, 4);
  return s + e.name;
}

// The end record; count at offset 8 and 10, directory size at 12, its offset at 16.
inline std::string end_record(uint16_t count, uint32_t dir_size, uint32_t dir_offset,
                              const std::string& comment = "") {
  std::string s = std::string("PK\x05\x06", 4) + std::string(4, '\0');
  put_le(s, count, 2), put_le(s, count, 2), put_le(s, dir_size, 4), put_le(s, dir_offset, 4);
  put_le(s, static_cast<uint32_t>(comment.size()), 2);
  return s + comment;
}

inline std::string build(const std::vector<Entry>& entries, const std::string& comment = "") {
  std::string body, dir;
  for (const Entry& e : entries) {
    dir += central_header(e, static_cast<uint32_t>(body.size()));
    body += local_header(e);
  }
  return body + dir +
         end_record(static_cast<uint16_t>(entries.size()), static_cast<uint32_t>(dir.size()),
                    static_cast<uint32_t>(body.size()), comment);
}

// A scratch directory holding the archive a.zip and, below it, the destination "out".
struct ZipScratch : testsupport::Scratch {
  const std::string zip = *this / "a.zip", dest = *this / "out";
  std::string at(const std::string& rel) const { return dest + "/" + rel; }
  bool extract(const std::string& bytes, std::string& err) const {
    return archive::extract_zip(put(zip, bytes), dest, err);
  }
  bool leftover_tmp() const {
    for (const auto& e : fs::recursive_directory_iterator(root))
      if (e.path().string().find(".archive-tmp") != std::string::npos) return true;
    return false;
  }
};

// Pseudo-random bytes that deflate cannot shrink.
std::string noise(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 2463534242u;
  for (char& c : s) x ^= x << 13, x ^= x >> 17, x ^= x << 5, c = static_cast<char>(x);
  return s;
}

unsigned mode_of(const std::string& p) {
  return static_cast<unsigned>(fs::status(p).permissions()) & 07777;
}

}  // namespace

TEST_CASE("zip members keep content, Unix modes and raw names; later members win", "[archive]") {
  ZipScratch t;
  std::string err = "untouched";
  const std::string big = noise(300000), zeros(3 << 20, '\0');  // zeros fill many out buffers
  Entry dos{"dos.txt", "d", 0, 0x81FF0000};
  dos.host = 0;
  REQUIRE(t.extract(
      build(
          {Entry{"bin/tool", "#!/bin/sh\n", 8, 0x81ED0000}, Entry{"suid", "s", 0, 0x89ED0000}, dos,
           Entry{"big", big, 8}, Entry{"zeros", zeros, 8}, Entry{"stored", big}, Entry{"empty", ""},
           Entry{"dir\\f", "bs"}, Entry{"a..b", "2"}, Entry{"f", "old"}, Entry{"f", "new", 8}},
          "release build"),
      err));
  CHECK(err == "untouched");
  CHECK((slurp(t.at("big")) == big && slurp(t.at("stored")) == big));
  CHECK((slurp(t.at("zeros")) == zeros && slurp(t.at("empty")).empty()));
  CHECK((slurp(t.at("dir\\f")) == "bs" && slurp(t.at("a..b")) == "2"));
  CHECK(slurp(t.at("f")) == "new");
  CHECK((mode_of(t.at("bin/tool")) == 0755 && mode_of(t.at("suid")) == 04755));
  CHECK(mode_of(t.at("dos.txt")) != 0777);
}

TEST_CASE("archives that are not plain zip fail before the destination exists", "[archive]") {
  ZipScratch t;
  std::string err, bytes = build({Entry{"f", "1"}});
  const size_t end = bytes.size() - 22;
  std::string expected = "zip64 archives are not supported";
  const std::string not_zip = "not a zip archive (no end-of-central-directory): " + t.zip;
  SECTION("21 bytes") bytes.resize(21), expected = "archive too small to be a zip: " + t.zip;
  SECTION("64 bytes of x") bytes = std::string(64, 'x'), expected = not_zip;
  SECTION("a byte after the comment")
  bytes = build({Entry{"f", "1"}}, "c") + "!", expected = not_zip;
  SECTION("zip64 count")
  put_le(bytes, 0xFFFF, 2, end + 8), put_le(bytes, 0xFFFF, 2, end + 10);
  SECTION("zip64 directory size") put_le(bytes, 0xFFFFFFFF, 4, end + 12);
  SECTION("zip64 directory offset") put_le(bytes, 0xFFFFFFFF, 4, end + 16);
  SECTION("zip64 locator") bytes.insert(end, std::string("PK\x06\x07", 4) + std::string(16, '\0'));
  SECTION("central directory outside the file") {
    put_le(bytes, 0xFFFFFF00, 4, end + 12), expected = "archive: unexpected end of file";
  }
  CHECK_FALSE(t.extract(bytes, err));
  CHECK(err == expected);
  CHECK_FALSE(fs::exists(t.dest));
}

TEST_CASE("bad entries are refused and nothing lands outside the destination", "[archive]") {
  ZipScratch t;
  const std::string good = build({Entry{"f", "1"}});
  const size_t at = good.rfind("PK\x01\x02"), end = good.size() - 22;
  std::string err, bad_local = good, bad_central = good, overrun = good,
                   two = build({Entry{"g", "1"}});
  bad_local[0] = 'Q', bad_central[at + 3] = '\x09', overrun[at + 32] = '\x01';
  put_le(two, 2, 2, end + 8), put_le(two, 2, 2, end + 10);
  Entry enc{"plain", "data"}, enc_dir{"d/", ""};
  enc.flags = enc_dir.flags = 1;  // readable data, right CRC: the flag alone must refuse it
  const std::pair<std::string, std::string> cases[] = {
      {build({Entry{"../evil", "x"}}), "archive: path traversal in zip: ../evil"},
      {build({Entry{"a/../../b", "x"}}), "archive: path traversal in zip: a/../../b"},
      {build({Entry{"/etc/x", "x"}}), "archive: absolute path in zip: /etc/x"},
      {build({Entry{"", "x"}}), "archive: empty entry name"},
      {build({Entry{std::string("ok\0/../../x", 11), "x"}}),
       "archive: invalid entry name: ok\\x00/../../x"},
      {build({enc}), "archive: encrypted entries are not supported: plain"},
      {build({enc_dir}), "archive: encrypted entries are not supported: d/"},
      {bad_local, "archive: bad local header for entry: f"},
      {two, "archive: truncated central directory"},
      {bad_central, "archive: bad central directory signature"},
      {overrun, "archive: central directory entry overrun"},
  };
  for (const auto& [bytes, message] : cases) {
    CHECK_FALSE(t.extract(bytes, err));
    CHECK(err == message);
  }
  for (const char* never : {"evil", "b", "out/ok", "out/plain", "out/d", "out/f"})
    CHECK_FALSE(fs::exists(t / never));
}

TEST_CASE("a failing third member leaves the first two and no temporary file", "[archive]") {
  ZipScratch t;
  std::string err, message = "archive: deflate stream error";
  Entry bad{"c/third", "payload"};
  SECTION("method 12") bad.method = 12, message = "archive: unsupported zip compression method 12";
  SECTION("wrong CRC-32") bad.crc = 0x12345678, message = "CRC mismatch in archive entry: c/third";
  SECTION("deflate cut short") bad = Entry{"c/third", noise(200000), 8}, bad.compressed_size = 1000;
  SECTION("deflate of size 0") bad.method = 8, bad.compressed_size = 0;
  SECTION("not deflate data") bad.method = 8, bad.payload = "\xff\xff\xff\xff";
  SECTION("data past the end")
  bad.compressed_size = 5000, message = "archive: unexpected end of file";
  CHECK_FALSE(t.extract(build({Entry{"first", "1"}, Entry{"b/second", "2", 8}, bad}), err));
  CHECK(err == message);
  CHECK((slurp(t.at("first")) == "1" && slurp(t.at("b/second")) == "2"));
  CHECK_FALSE(fs::exists(t.at("c/third")));
  CHECK_FALSE(t.leftover_tmp());
}

TEST_CASE("member data reaching past 4 GiB is refused", "[archive]") {
  ZipScratch t;
  // Sparse file: directory at 0, the member's local header just below 4 GiB, end record last.
  const Entry e{"far", std::string(512, 'f')};
  const uint32_t local_at = 0xFFFFFF00;
  const std::string dir = central_header(e, local_at), local = local_header(e);
  const std::string end = end_record(1, static_cast<uint32_t>(dir.size()), 0);
  const int fd = ::open(t.zip.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const bool written = ::pwrite(fd, dir.data(), dir.size(), 0) > 0 &&
                       ::pwrite(fd, local.data(), local.size(), local_at) > 0 &&
                       ::pwrite(fd, end.data(), end.size(), local_at + local.size()) > 0;
  ::close(fd);
  if (!written) SKIP("no sparse 4 GiB file here");
  std::string err;
  CHECK_FALSE(archive::extract_zip(t.zip, t.dest, err));
  CHECK(err == "archive: entry data beyond 4 GiB: far");
}
