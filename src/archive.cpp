#include "archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "util.h"

namespace archive {
namespace {

namespace fs = std::filesystem;

constexpr size_t kChunk = 65536;
constexpr uint64_t kEndRecordSize = 22;
constexpr uint64_t kSearchWindow = kEndRecordSize + 65535;
constexpr size_t kCentralHeaderSize = 46;
constexpr uint64_t kLocalHeaderSize = 30;
constexpr uint32_t kEndSig = 0x06054B50;
constexpr uint32_t kZip64LocatorSig = 0x07064B50;
constexpr uint32_t kCentralSig = 0x02014B50;
constexpr uint32_t kLocalSig = 0x04034B50;
constexpr uint8_t kHostUnix = 3;

// Owns a raw descriptor; -1 means none.
class Fd {
public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now and reports whether the kernel accepted the last writes.
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

private:
  int fd_;
};

struct InflateEnd {
  void operator()(z_stream* s) const { inflateEnd(s); }
};

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Reads exactly count bytes at offset; every read of the archive goes through here.
bool read_at(int in, uint64_t offset, unsigned char* buffer, size_t count, std::string& err) {
  if (offset > static_cast<uint64_t>(INT64_MAX) - count) {
    err = "archive: seek failed";
    return false;
  }
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(in, buffer + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = "archive: unexpected end of file";
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool write_all(int fd, const unsigned char* data, size_t len, std::string& err) {
  while (len > 0) {
    const ssize_t n = ::write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = "archive: write failed (disk full?)";
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Opens a regular file only: a FIFO or device could block or never end.
bool open_archive(const std::string& zip_path, Fd& in, uint64_t& size, std::string& err) {
  Fd fd(::open(zip_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    err = "could not open archive: " + zip_path;
    return false;
  }
  if (st.st_size < static_cast<off_t>(kEndRecordSize)) {
    err = "archive too small to be a zip: " + zip_path;
    return false;
  }
  size = static_cast<uint64_t>(st.st_size);
  in = std::move(fd);
  return true;
}

struct EndRecord {
  uint64_t offset = 0;  // of the record itself
  uint16_t count = 0;
  uint32_t dir_size = 0;
  uint32_t dir_offset = 0;
};

// The last end-record signature whose record and comment end exactly at the end of the file.
bool find_end_record(int in, uint64_t size, const std::string& zip_path, EndRecord& rec,
                     std::string& err) {
  const uint64_t window = std::min(size, kSearchWindow);
  std::vector<unsigned char> buf(window);
  if (!read_at(in, size - window, buf.data(), buf.size(), err)) return false;
  for (uint64_t p = window - kEndRecordSize + 1; p-- > 0;) {
    const unsigned char* r = buf.data() + p;
    if (le32(r) == kEndSig && p + kEndRecordSize + le16(r + 20) == window) {
      rec.offset = size - window + p;
      unsigned char raw[kEndRecordSize];
      if (!read_at(in, rec.offset, raw, sizeof raw, err)) return false;
      rec.count = le16(raw + 10);
      rec.dir_size = le32(raw + 12);
      rec.dir_offset = le32(raw + 16);
      return true;
    }
  }
  err = "not a zip archive (no end-of-central-directory): " + zip_path;
  return false;
}

bool is_zip64(int in, const EndRecord& rec, bool& zip64, std::string& err) {
  zip64 = rec.count == 0xFFFF || rec.dir_size == 0xFFFFFFFF || rec.dir_offset == 0xFFFFFFFF;
  if (zip64 || rec.offset < 20) return true;
  unsigned char sig[4];
  if (!read_at(in, rec.offset - 20, sig, sizeof sig, err)) return false;
  zip64 = le32(sig) == kZip64LocatorSig;
  return true;
}

// The directory must lie inside the file before any memory is reserved for it.
bool read_directory(int in, uint64_t size, const EndRecord& rec, std::vector<unsigned char>& dir,
                    std::string& err) {
  if (static_cast<uint64_t>(rec.dir_offset) + rec.dir_size > size) {
    err = "archive: unexpected end of file";
    return false;
  }
  dir.resize(rec.dir_size);
  return read_at(in, rec.dir_offset, dir.data(), dir.size(), err);
}

struct Entry {
  std::string name;
  uint8_t host = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc = 0;
  uint32_t compressed_size = 0;
  uint32_t external_attr = 0;
  uint32_t local_offset = 0;
  uint64_t data_pos = 0;  // from the local header; file entries only
};

bool is_file(const Entry& e) { return e.name.back() != '/'; }

bool read_entry(const std::vector<unsigned char>& dir, size_t& cursor, Entry& e, std::string& err) {
  if (dir.size() < kCentralHeaderSize || cursor > dir.size() - kCentralHeaderSize) {
    err = "archive: truncated central directory";
    return false;
  }
  const unsigned char* h = dir.data() + cursor;
  if (le32(h) != kCentralSig) {
    err = "archive: bad central directory signature";
    return false;
  }
  const size_t name_len = le16(h + 28);
  const size_t next = cursor + kCentralHeaderSize + name_len + le16(h + 30) + le16(h + 32);
  if (next > dir.size()) {
    err = "archive: central directory entry overrun";
    return false;
  }
  e.name.assign(reinterpret_cast<const char*>(h + kCentralHeaderSize), name_len);
  e.host = h[5];
  e.flags = le16(h + 8);
  e.method = le16(h + 10);
  e.crc = le32(h + 16);
  e.compressed_size = le32(h + 20);
  e.external_attr = le32(h + 38);
  e.local_offset = le32(h + 42);
  cursor = next;
  return true;
}

// NUL bytes shown as \x00: the file system would cut the name there.
std::string escape_nul(const std::string& name) {
  std::string out;
  for (char c : name) out += c == '\0' ? std::string("\\x00") : std::string(1, c);
  return out;
}

bool check_name(const Entry& e, std::string& err) {
  const std::string& n = e.name;
  if (e.flags & 1) {
    err = "archive: encrypted entries are not supported: " + n;
  } else if (n.empty()) {
    err = "archive: empty entry name";
  } else if (n.find('\0') != std::string::npos) {
    err = "archive: invalid entry name: " + escape_nul(n);
  } else if (n[0] == '/' || (n.size() > 1 && n[1] == ':')) {
    err = "archive: absolute path in zip: " + n;
  } else {
    const std::vector<std::string> fields = util::split(n, '/');
    if (std::find(fields.begin(), fields.end(), "..") == fields.end()) return true;
    err = "archive: path traversal in zip: " + n;
  }
  return false;
}

// Removes the member's temporary file unless it was moved into place.
class TempGuard {
public:
  explicit TempGuard(std::string path) : path_(std::move(path)) {}
  TempGuard(const TempGuard&) = delete;
  TempGuard& operator=(const TempGuard&) = delete;
  ~TempGuard() {
    if (!done_) util::remove_tree(path_);
  }
  void release() { done_ = true; }

private:
  std::string path_;
  bool done_ = false;
};

struct Member {
  int in = -1;
  uint64_t pos = 0;        // data position in the archive
  uint64_t remaining = 0;  // compressed bytes not read yet
  uint32_t crc = 0;
};

struct Buffers {
  std::vector<unsigned char> in = std::vector<unsigned char>(kChunk);
  std::vector<unsigned char> out = std::vector<unsigned char>(kChunk);
};

bool copy_stored(Member& m, int out, Buffers& buf, std::string& err) {
  while (m.remaining > 0) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(m.remaining, kChunk));
    if (!read_at(m.in, m.pos, buf.in.data(), chunk, err)) return false;
    m.pos += chunk;
    m.remaining -= chunk;
    m.crc = static_cast<uint32_t>(crc32(m.crc, buf.in.data(), static_cast<uInt>(chunk)));
    if (!write_all(out, buf.in.data(), chunk, err)) return false;
  }
  return true;
}

// Inflates what zlib can from the current input; ended is set at the end of the stream.
bool drain(z_stream& zs, int flush, int out, Buffers& buf, uint32_t& crc, bool& ended,
           std::string& err) {
  for (;;) {
    zs.next_out = buf.out.data();
    zs.avail_out = kChunk;
    const int rc = inflate(&zs, flush);
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
      err = "archive: deflate stream error";
      return false;
    }
    const size_t produced = kChunk - zs.avail_out;
    if (produced > 0) {
      crc = static_cast<uint32_t>(crc32(crc, buf.out.data(), static_cast<uInt>(produced)));
      if (!write_all(out, buf.out.data(), produced, err)) return false;
    }
    ended = rc == Z_STREAM_END;
    if (ended || produced < kChunk) return true;
  }
}

bool copy_inflated(Member& m, int out, Buffers& buf, std::string& err) {
  z_stream zs{};
  if (inflateInit2(&zs, -15) != Z_OK) {
    err = "archive: inflateInit2 failed";
    return false;
  }
  std::unique_ptr<z_stream, InflateEnd> owner(&zs);
  bool ended = false;
  do {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(m.remaining, kChunk));
    if (chunk > 0 && !read_at(m.in, m.pos, buf.in.data(), chunk, err)) return false;
    m.remaining -= chunk;
    zs.next_in = buf.in.data();
    zs.avail_in = static_cast<uInt>(chunk);
    if (!drain(zs, m.remaining == 0 ? Z_FINISH : Z_NO_FLUSH, out, buf, m.crc, ended, err))
      return false;
    m.pos += chunk;
  } while (!ended && m.remaining > 0);
  if (!ended) {
    err = "archive: deflate stream error";
    return false;
  }
  return true;
}

bool write_member(const Entry& e, Member& m, const std::string& tmp, Buffers& buf,
                  std::string& err) {
  Fd out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (out.get() < 0) {
    err = "could not open for writing: " + tmp;
    return false;
  }
  bool ok = false;
  if (e.method == 0) {
    ok = copy_stored(m, out.get(), buf, err);
  } else if (e.method == 8) {
    ok = copy_inflated(m, out.get(), buf, err);
  } else {
    err = "archive: unsupported zip compression method " + std::to_string(e.method);
  }
  if (!ok) return false;
  if (!out.close()) {
    err = "archive: write failed (disk full?)";
    return false;
  }
  if (m.crc != e.crc) {
    err = "CRC mismatch in archive entry: " + e.name;
    return false;
  }
  return true;
}

// Where the member's data starts; data reaching past 4 GiB is refused, since the headers'
// 32-bit offsets cannot address it.
bool locate_data(int in, Entry& e, std::string& err) {
  unsigned char h[kLocalHeaderSize];
  if (!read_at(in, e.local_offset, h, sizeof h, err)) return false;
  if (le32(h) != kLocalSig) {
    err = "archive: bad local header for entry: " + e.name;
    return false;
  }
  e.data_pos = uint64_t{e.local_offset} + kLocalHeaderSize + le16(h + 26) + le16(h + 28);
  if (e.data_pos + e.compressed_size > 0xFFFFFFFFu) {
    err = "archive: entry data beyond 4 GiB: " + e.name;
    return false;
  }
  return true;
}

bool make_parent(const std::string& out_path, std::string& err) {
  const size_t sep = out_path.find_last_of("/\\");
  if (sep == std::string::npos) return true;
  const std::string parent = out_path.substr(0, sep + 1);
  if (util::make_dirs(parent)) return true;
  err = "could not create directory: " + parent;
  return false;
}

// The umask is taken off as tar and unzip do, so a 0777 entry is not left writable by everyone.
void apply_mode(const Entry& e, const std::string& out_path, mode_t mask) {
  const unsigned bits = (e.external_attr >> 16) & 07777;
  if (bits == 0) return;
  std::error_code ignored;
  fs::permissions(out_path, static_cast<fs::perms>(bits & ~mask), fs::perm_options::replace,
                  ignored);
}

bool extract_file(int in, const Entry& e, const std::string& out_path, mode_t mask, Buffers& buf,
                  std::string& err) {
  Member m;
  m.in = in;
  m.pos = e.data_pos;
  m.remaining = e.compressed_size;
  if (!make_parent(out_path, err)) return false;
  const std::string tmp = out_path + ".archive-tmp";
  util::remove_tree(tmp);
  TempGuard guard(tmp);
  if (!write_member(e, m, tmp, buf, err) || !util::rename_file(tmp, out_path, err)) return false;
  guard.release();
  if (e.host == kHostUnix) {
    if ((e.external_attr & 0xF0000000u) == 0xA0000000u) {
      err = "archive: symlinks are not supported: " + e.name;
      return false;
    }
    apply_mode(e, out_path, mask);
  }
  return true;
}

bool extract_entry(int in, const Entry& e, const std::string& dest_dir, mode_t mask, Buffers& buf,
                   std::string& err) {
  const std::string out_path = util::join_paths(dest_dir, e.name);
  if (is_file(e)) return extract_file(in, e, out_path, mask, buf, err);
  if (util::make_dirs(out_path)) return true;
  err = "could not create directory: " + out_path;
  return false;
}

// Reads the entries up to the first one that fails before its data would be read. That failure
// goes to pending: it is reported only after the entries before it are extracted.
bool scan_entries(int in, const std::vector<unsigned char>& dir, uint16_t count,
                  std::vector<Entry>& entries, std::string& pending) {
  size_t cursor = 0;
  for (uint32_t i = 0; i < count; ++i) {
    Entry e;
    if (!read_entry(dir, cursor, e, pending) || !check_name(e, pending) ||
        (is_file(e) && !locate_data(in, e, pending)))
      return false;
    entries.push_back(std::move(e));
  }
  return true;
}

// Members whose bytes (local header to the end of the data) are shared with another member or
// with the central directory would let a small archive unpack without bound. Sorted by start,
// any overlap shows between neighbours, as every span is non-empty.
bool check_overlaps(const std::vector<Entry>& entries, const EndRecord& rec, std::string& err) {
  struct Span {
    uint64_t begin, end;
    const Entry* entry;  // null for the central directory
  };
  std::vector<Span> spans;
  spans.reserve(entries.size() + 1);
  if (rec.dir_size > 0)
    spans.push_back({rec.dir_offset, uint64_t{rec.dir_offset} + rec.dir_size, nullptr});
  for (const Entry& e : entries)
    if (is_file(e)) spans.push_back({e.local_offset, e.data_pos + e.compressed_size, &e});
  std::stable_sort(spans.begin(), spans.end(),
                   [](const Span& a, const Span& b) { return a.begin < b.begin; });
  for (size_t i = 1; i < spans.size(); ++i) {
    const Span &a = spans[i - 1], &b = spans[i];
    if (b.begin >= a.end) continue;
    if (a.entry && b.entry)
      err = "archive: entry data overlaps another entry: " + b.entry->name;
    else
      err = "archive: entry data overlaps the central directory: " +
            (a.entry ? a.entry : b.entry)->name;
    return false;
  }
  return true;
}

bool extract_all(int in, const std::vector<Entry>& entries, const std::string& dest_dir,
                 std::string& err) {
  if (entries.empty()) return true;
  // umask() reads the mask only by setting it: put it straight back.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  const auto buf = std::make_unique<Buffers>();
  for (const Entry& e : entries)
    if (!extract_entry(in, e, dest_dir, mask, *buf, err)) return false;
  return true;
}

}  // namespace

bool extract_zip(const std::string& zip_path, const std::string& dest_dir, std::string& err) {
  Fd in;
  uint64_t size = 0;
  EndRecord rec;
  bool zip64 = false;
  if (!open_archive(zip_path, in, size, err) ||
      !find_end_record(in.get(), size, zip_path, rec, err) || !is_zip64(in.get(), rec, zip64, err))
    return false;
  if (zip64) {
    err = "zip64 archives are not supported";
    return false;
  }
  std::vector<unsigned char> dir;
  if (!read_directory(in.get(), size, rec, dir, err)) return false;
  // Overlaps are refused before anything is written; a broken entry still fails in its turn.
  std::vector<Entry> entries;
  std::string pending;
  const bool complete = scan_entries(in.get(), dir, rec.count, entries, pending);
  if (!check_overlaps(entries, rec, err)) return false;
  // An empty destination would put every member relative to the working directory.
  if (dest_dir.empty() || !util::make_dirs(dest_dir)) {
    err = "could not create destination directory: " + dest_dir;
    return false;
  }
  if (!extract_all(in.get(), entries, dest_dir, err)) return false;
  if (complete) return true;
  err = pending;
  return false;
}

}  // namespace archive
