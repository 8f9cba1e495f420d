#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <catch2/catch_test_macros.hpp>
#include <catch2/generators/catch_generators.hpp>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "archive.h"
#include "zip_builder.h"

namespace fs = std::filesystem;
using zipb::Entry;

namespace {

// A scratch directory holding the archive and, below it, the destination "out".
struct ZipScratch {
  fs::path root;
  ZipScratch() {
    std::string tmpl = (fs::temp_directory_path() / "qs-archive-XXXXXX").string();
    root = mkdtemp(tmpl.data());
  }
  ~ZipScratch() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  std::string zip() const { return (root / "a.zip").string(); }
  std::string dest() const { return (root / "out").string(); }
  fs::path at(const std::string& rel) const { return root / "out" / rel; }
  bool extract(const std::string& bytes, std::string& err) const {
    zipb::write_file(zip(), bytes);
    return archive::extract_zip(zip(), dest(), err);
  }
  bool leftover_tmp() const {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::end(it); it.increment(ec))
      if (it->path().string().find(".archive-tmp") != std::string::npos) return true;
    return false;
  }
};

std::string slurp(const fs::path& p) {
  std::ostringstream s;
  s << std::ifstream(p, std::ios::binary).rdbuf();
  return s.str();
}

unsigned mode_of(const fs::path& p) {
  return static_cast<unsigned>(fs::status(p).permissions()) & 07777;
}

// Pseudo-random bytes that deflate cannot shrink.
std::string noise(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 2463534242u;
  for (char& c : s) x ^= x << 13, x ^= x >> 17, x ^= x << 5, c = static_cast<char>(x);
  return s;
}

Entry file(const std::string& name, const std::string& data, uint16_t method = 0,
           uint32_t attr = 0) {
  Entry e;
  e.name = name, e.data = data, e.method = method, e.external_attr = attr;
  return e;
}

}  // namespace

TEST_CASE("zip members are extracted with their content and Unix modes", "[archive]") {
  ZipScratch t;
  std::string err = "untouched";
  const std::string big = noise(300000), zeros(3 << 20, '\0');  // zeros fill many out buffers
  Entry dos = file("dos.txt", "d", 0, 0x81FF0000);
  dos.host = 0;
  zipb::End end;
  end.comment = "release build";
  REQUIRE(t.extract(
      zipb::build({file("bin/tool", "#!/bin/sh\n", 8, 0x81ED0000), file("conf", "a", 0, 0x81A40000),
                   file("suid", "s", 0, 0x89ED0000), dos, file("sub/", "", 0, 0x41C00000),
                   file("big", big, 8), file("zeros", zeros, 8), file("one", "x", 8),
                   file("stored", big), file("empty", "")},
                  end),
      err));
  CHECK(err == "untouched");
  CHECK(slurp(t.at("bin/tool")) == "#!/bin/sh\n");
  CHECK((slurp(t.at("big")) == big && slurp(t.at("stored")) == big));
  CHECK(slurp(t.at("zeros")) == zeros);
  CHECK(slurp(t.at("one")) == "x");
  CHECK(fs::file_size(t.at("empty")) == 0);
  CHECK(mode_of(t.at("bin/tool")) == 0755);
  CHECK(mode_of(t.at("conf")) == 0644);
  CHECK(mode_of(t.at("suid")) == 04755);
  CHECK(mode_of(t.at("dos.txt")) != 0777);
  CHECK(mode_of(t.at("sub")) != 0700);
  CHECK_FALSE(t.leftover_tmp());
}

TEST_CASE("zip names are bytes with only '/' as separator; later files win", "[archive]") {
  ZipScratch t;
  std::string err;
  REQUIRE(t.extract(zipb::build({file("dir\\file", "bs"), file("..\\evil", "1"), file("a..b", "2"),
                                 file("f", "old"), file("f", "new", 8)}),
                    err));
  CHECK(slurp(t.at("dir\\file")) == "bs");
  CHECK((fs::is_directory(t.at("dir\\")) && fs::is_empty(t.at("dir\\"))));
  CHECK(slurp(t.at("..\\evil")) == "1");
  CHECK(slurp(t.at("a..b")) == "2");
  CHECK(slurp(t.at("f")) == "new");
  zipb::write_file(t.zip(), zipb::build({}));
  REQUIRE(archive::extract_zip(t.zip(), (t.root / "x/y").string(), err));
  CHECK(fs::is_directory(t.root / "x/y"));
}

TEST_CASE("archives that are not plain zip fail before the destination exists", "[archive]") {
  ZipScratch t;
  std::string err, bytes = zipb::build({file("f", "1")}), expected;
  zipb::End end;
  const std::string not_zip = "not a zip archive (no end-of-central-directory): " + t.zip();
  SECTION("21 bytes") {
    bytes.resize(21);
    expected = "archive too small to be a zip: " + t.zip();
  }
  SECTION("64 bytes of x") { bytes = std::string(64, 'x'), expected = not_zip; }
  SECTION("a byte after the comment") {
    end.comment = "c", end.trailing = "!", expected = not_zip;
    bytes = zipb::build({file("f", "1")}, end);
  }
  SECTION("zip64 signs") {
    const int sign = GENERATE(0, 1, 2, 3);
    if (sign == 0) end.count = 0xFFFF;
    if (sign == 1) end.dir_size = 0xFFFFFFFF;
    if (sign == 2) end.dir_offset = 0xFFFFFFFF;
    end.zip64_locator = sign == 3;
    bytes = zipb::build({file("f", "1")}, end), expected = "zip64 archives are not supported";
  }
  SECTION("central directory outside the file") {
    end.dir_size = 0xFFFFFF00, expected = "archive: unexpected end of file";
    bytes = zipb::build({file("f", "1")}, end);
  }
  CHECK_FALSE(t.extract(bytes, err));
  CHECK(err == expected);
  CHECK_FALSE(archive::extract_zip(t.root.string(), t.dest(), err));
  CHECK(err == "could not open archive: " + t.root.string());
  CHECK_FALSE(fs::exists(t.dest()));
}

TEST_CASE("bad entries are refused and nothing lands outside the destination", "[archive]") {
  ZipScratch t;
  std::string err, dir_damage = zipb::build({file("f", "1")});
  const size_t at = dir_damage.rfind("PK\x01\x02");
  Entry enc = file("plain", "data"), enc_dir = file("d/", "");  // readable data, right CRC
  enc.flags = enc_dir.flags = 1;
  Entry bad_local = file("f", "1");
  bad_local.bad_local_signature = true;
  zipb::End two;
  two.count = 2;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {zipb::build({file("../evil", "x")}), "archive: path traversal in zip: ../evil"},
      {zipb::build({file("a/../../b", "x")}), "archive: path traversal in zip: a/../../b"},
      {zipb::build({file("/etc/x", "x")}), "archive: absolute path in zip: /etc/x"},
      {zipb::build({file("d:/x", "x")}), "archive: absolute path in zip: d:/x"},
      {zipb::build({file("a:b", "x")}), "archive: absolute path in zip: a:b"},
      {zipb::build({file("", "x")}), "archive: empty entry name"},
      {zipb::build({file(std::string("ok\0/../../x", 11), "x")}),
       "archive: invalid entry name: ok\\x00/../../x"},
      {zipb::build({enc}), "archive: encrypted entries are not supported: plain"},
      {zipb::build({enc_dir}), "archive: encrypted entries are not supported: d/"},
      {zipb::build({bad_local}), "archive: bad local header for entry: f"},
      {zipb::build({file("g", "1")}, two), "archive: truncated central directory"},
      {dir_damage.substr(0, at + 3) + '\x09' + dir_damage.substr(at + 4),
       "archive: bad central directory signature"},
      {dir_damage.substr(0, at + 32) + '\x01' + dir_damage.substr(at + 33),
       "archive: central directory entry overrun"},
  };
  for (const auto& [bytes, message] : cases) {
    CHECK_FALSE(t.extract(bytes, err));
    CHECK(err == message);
  }
  CHECK(fs::exists(t.at("g")));  // complete before the missing second header
  for (const char* never : {"evil", "b", "out/ok", "out/plain", "out/d", "out/f"})
    CHECK_FALSE(fs::exists(t.root / never));
}

TEST_CASE("a failing member leaves no temporary file and keeps the earlier ones", "[archive]") {
  ZipScratch t;
  std::string err, message = "archive: deflate stream error";
  Entry bad = file("c/third", "payload");
  SECTION("method 12") bad.method = 12, message = "archive: unsupported zip compression method 12";
  SECTION("wrong CRC-32") bad.crc = 0x12345678, message = "CRC mismatch in archive entry: c/third";
  SECTION("deflate cut short") bad = file("c/third", noise(200000), 8), bad.compressed_size = 1000;
  SECTION("deflate of size 0") bad.method = 8, bad.compressed_size = 0;
  SECTION("not deflate data") bad.method = 8, bad.payload = "\xff\xff\xff\xff";
  SECTION("data past the end")
  bad.compressed_size = 5000,
  message = "archive: unexpected end of file";
  CHECK_FALSE(t.extract(zipb::build({file("first", "1"), file("b/second", "2", 8), bad}), err));
  CHECK(err == message);
  CHECK(slurp(t.at("first")) == "1");
  CHECK(slurp(t.at("b/second")) == "2");
  CHECK_FALSE(fs::exists(t.at("c/third")));
  CHECK_FALSE(t.leftover_tmp());
}

TEST_CASE("symbolic links and clashing paths fail without harm", "[archive]") {
  ZipScratch t;
  std::string err;
  CHECK_FALSE(t.extract(zipb::build({file("lnk", "/etc/passwd", 0, 0xA1FF0000)}), err));
  CHECK(err == "archive: symlinks are not supported: lnk");
  CHECK((!fs::is_symlink(t.at("lnk")) && slurp(t.at("lnk")) == "/etc/passwd"));
  Entry foreign = file("lnk2", "text", 0, 0xA1FF0000);
  foreign.host = 11;
  CHECK(t.extract(zipb::build({foreign}), err));
  CHECK_FALSE(t.extract(zipb::build({file("a", "1"), file("a/b", "2")}), err));
  CHECK(err == "could not create directory: " + t.dest() + "/a/");
}

TEST_CASE("member data reaching past 4 GiB is refused", "[archive]") {
  ZipScratch t;
  // Sparse file: directory at 0, the member's local header just below 4 GiB, end record last.
  const Entry e = file("far", std::string(512, 'f'));
  const uint32_t local_at = 0xFFFFFF00;
  const std::string dir = zipb::central_header(e, local_at), local = zipb::local_header(e);
  const std::string end = zipb::end_record({}, 1, static_cast<uint32_t>(dir.size()), 0);
  const int fd = ::open(t.zip().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const bool written = ::pwrite(fd, dir.data(), dir.size(), 0) > 0 &&
                       ::pwrite(fd, local.data(), local.size(), local_at) > 0 &&
                       ::pwrite(fd, end.data(), end.size(), local_at + local.size()) > 0;
  ::close(fd);
  if (!written) SKIP("no sparse 4 GiB file here");
  std::string err;
  CHECK_FALSE(archive::extract_zip(t.zip(), t.dest(), err));
  CHECK(err == "archive: entry data beyond 4 GiB: far");
  CHECK_FALSE(t.leftover_tmp());
}

TEST_CASE("a write that fails removes the temporary file", "[archive]") {
  ZipScratch t;
  zipb::write_file(t.zip(), zipb::build({file("small", "ok"), file("big", noise(200000), 8)}));
  // A file-size limit makes writes fail; a child keeps it away from the test runner.
  const pid_t pid = fork();
  REQUIRE(pid >= 0);
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit lim{100000, 100000};
    setrlimit(RLIMIT_FSIZE, &lim);
    std::string err;
    const bool ok = archive::extract_zip(t.zip(), t.dest(), err);
    _exit(!ok && err == "archive: write failed (disk full?)" ? 0 : 1);
  }
  int status = -1;
  REQUIRE(waitpid(pid, &status, 0) == pid);
  CHECK(status == 0);
  CHECK(slurp(t.at("small")) == "ok");
  CHECK_FALSE(fs::exists(t.at("big")));
  CHECK_FALSE(t.leftover_tmp());
}
