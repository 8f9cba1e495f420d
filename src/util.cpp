#include "util.h"

#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <system_error>

namespace fs = std::filesystem;

namespace util {

namespace {

constexpr char kBlanks[] = " \t\r\n";
constexpr uint64_t kU64Max = 18446744073709551615ull;

bool is_numeric(const std::string& id) {
  if (id.empty()) return false;
  for (unsigned char c : id) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Saturates at the largest 64-bit value instead of wrapping.
uint64_t parse_u64(const std::string& digits) {
  uint64_t v = 0;
  for (unsigned char c : digits) {
    const uint64_t d = c - '0';
    if (v > (kU64Max - d) / 10) return kU64Max;
    v = v * 10 + d;
  }
  return v;
}

int sign(int v) { return (v > 0) - (v < 0); }

int compare_identifiers(const std::string& a, const std::string& b) {
  const std::vector<std::string> ia = split(a, '.');
  const std::vector<std::string> ib = split(b, '.');
  if (ib.empty()) return ia.empty() ? 0 : 1;
  if (ia.empty()) return -1;
  const size_t common = std::min(ia.size(), ib.size());
  for (size_t i = 0; i < common; ++i) {
    const bool na = is_numeric(ia[i]);
    const bool nb = is_numeric(ib[i]);
    if (na && nb) {
      const uint64_t va = parse_u64(ia[i]);
      const uint64_t vb = parse_u64(ib[i]);
      if (va != vb) return va < vb ? -1 : 1;
    } else if (na != nb) {
      return na ? -1 : 1;
    } else {
      const int c = sign(ia[i].compare(ib[i]));  // char_traits<char> compares as unsigned
      if (c != 0) return c;
    }
  }
  if (ia.size() == ib.size()) return 0;
  return ia.size() < ib.size() ? -1 : 1;
}

// An empty pre-release part ("1.0-") counts as none.
struct VersionParts {
  std::string core;
  std::string pre;
};

VersionParts split_version(const std::string& v) {
  const std::string rest = v.substr(0, v.find('+'));
  VersionParts p;
  const size_t dash = rest.find('-');
  if (dash == std::string::npos) {
    p.core = rest;
  } else {
    p.core = rest.substr(0, dash);
    p.pre = rest.substr(dash + 1);
  }
  return p;
}

// Owns a file descriptor so every early return closes it.
class Fd {
public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now so the caller sees the result (NFS may report write errors only here).
  bool close() {
    const int r = ::close(fd_);
    fd_ = -1;
    return r == 0;
  }

private:
  int fd_;
};

// read() that resumes after a signal; -1 on error, 0 at the end.
ssize_t read_some(int fd, void* buf, size_t len) {
  ssize_t n;
  do {
    n = ::read(fd, buf, len);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    const ssize_t n = ::write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

void pause_200ms() {
  timespec left{0, 200 * 1000 * 1000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

std::string parent_of(const std::string& path) {
  const size_t sep = path.find_last_of("/\\");
  return sep == std::string::npos ? std::string() : path.substr(0, sep);
}

// Makes the rename itself durable; a file system that cannot sync directories is not an error.
void sync_directory(const std::string& dir) {
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) ::fsync(fd.get());
}

// Writes, syncs and closes the temporary file; any failure is one "error writing" to the caller.
bool write_synced(const std::string& tmp, const std::string& content, std::string& err) {
  Fd fd(open_new_file(tmp));
  if (fd.get() < 0) {
    err = "could not open for writing: " + tmp;
    return false;
  }
  const bool ok = write_all(fd.get(), content.data(), content.size()) && ::fsync(fd.get()) == 0;
  if (!fd.close() || !ok) {
    err = "error writing: " + tmp;
    return false;
  }
  return true;
}

// Copies src's bytes and permission bits over the regular file dst, or creates it; 0 or an errno
// value. A link at dst is refused rather than followed, and the bits are set on the descriptor.
int copy_regular(const std::string& src, const std::string& dst) {
  Fd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat from {};
  if (in.get() < 0 || ::fstat(in.get(), &from) != 0) return errno;
  if (!S_ISREG(from.st_mode)) return ENOTSUP;
  // Non-blocking, so a FIFO planted at dst fails instead of waiting for a reader.
  Fd out(::open(dst.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  struct stat to {};
  if (out.get() < 0 || ::fstat(out.get(), &to) != 0) return errno;
  if (to.st_dev == from.st_dev && to.st_ino == from.st_ino) return EEXIST;
  if (!S_ISREG(to.st_mode)) return ENOTSUP;
  if (::ftruncate(out.get(), 0) != 0) return errno;
  char buf[65536];
  for (;;) {
    const ssize_t n = read_some(in.get(), buf, sizeof buf);
    if (n < 0) return errno;
    if (n == 0) break;
    if (!write_all(out.get(), buf, static_cast<size_t>(n))) return errno;
  }
  if (::fchmod(out.get(), from.st_mode & 07777) != 0) return errno;
  return out.close() ? 0 : errno;
}

}  // namespace

std::string trim(const std::string& s) {
  const size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string::npos) return std::string();
  const size_t last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

bool starts_with(const std::string& s, const std::string& prefix) {
  return prefix.size() <= s.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(const std::string& s, const std::string& suffix) {
  return suffix.size() <= s.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> split(const std::string& s, char delim) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t pos = s.find(delim); pos != std::string::npos; pos = s.find(delim, start)) {
    fields.push_back(s.substr(start, pos - start));
    start = pos + 1;
  }
  if (start < s.size()) fields.push_back(s.substr(start));
  return fields;
}

std::string join_paths(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  if (b[0] == '/') return b;
  if (b.size() > 2 && b[1] == ':') return b;
  if (a.back() == '/' || a.back() == '\\') return a + b;
  return a + "/" + b;
}

std::string format_bytes(uint64_t n) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  char buf[64];
  double v = static_cast<double>(n);
  if (v < 1024.0) {
    std::snprintf(buf, sizeof buf, "%llu %s", static_cast<unsigned long long>(n), "B");
    return buf;
  }
  v *= 0.0009765625;
  size_t unit = 0;
  while (v >= 1024.0 && unit + 1 < std::size(kUnits)) {
    v *= 0.0009765625;
    ++unit;
  }
  std::snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[unit]);
  return buf;
}

std::string printable(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  const auto escape = [&out](unsigned char c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02x", c);
    out += buf;
  };
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const unsigned char next = i + 1 < s.size() ? static_cast<unsigned char>(s[i + 1]) : 0;
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7f) {
      escape(c);
    } else if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {
      // A C1 control in UTF-8 (CSI is C2 9B): as dangerous to a terminal as ESC.
      escape(c);
      escape(next);
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string hex_encode(const unsigned char* data, uint64_t len) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(static_cast<size_t>(len) * 2);
  for (uint64_t i = 0; i < len; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 0x0f]);
  }
  return out;
}

int compare_versions(const std::string& a, const std::string& b) {
  if (a == b) return 0;
  const VersionParts pa = split_version(a);
  const VersionParts pb = split_version(b);
  const int core = compare_identifiers(pa.core, pb.core);
  if (core != 0) return core;
  if (pa.pre.empty() && pb.pre.empty()) return 0;
  if (pa.pre.empty()) return 1;
  if (pb.pre.empty()) return -1;
  return compare_identifiers(pa.pre, pb.pre);
}

bool path_exists(const std::string& path) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  return !ec && fs::exists(st);
}

bool is_directory(const std::string& path) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  return !ec && fs::is_directory(st);
}

bool make_dirs(const std::string& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  return !ec;
}

bool remove_tree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  return !ec;
}

bool copy_file(const std::string& src, const std::string& dst, std::string& err) {
  const int error = copy_regular(src, dst);
  if (error != 0) {
    err = "copy failed (" + std::generic_category().message(error) + "): " + src + " -> " + dst;
    return false;
  }
  return true;
}

bool rename_file(const std::string& src, const std::string& dst, std::string& err) {
  constexpr int kAttempts = 5;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (attempt > 0) pause_200ms();
    std::error_code ec;
    fs::rename(src, dst, ec);
    if (!ec) return true;
  }
  if (!copy_file(src, dst, err)) return false;
  std::error_code ignored;
  fs::remove(src, ignored);
  return true;
}

bool read_whole_file(const std::string& path, std::string& out, std::string& err) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    err = "could not open file: " + path;
    return false;
  }
  std::string content;
  struct stat st {};
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) {
    content.reserve(static_cast<size_t>(st.st_size));
  }
  char buf[65536];
  for (;;) {
    const ssize_t n = read_some(fd.get(), buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      err = "error reading file: " + path;
      return false;
    }
    content.append(buf, static_cast<size_t>(n));
  }
  out = std::move(content);
  return true;
}

bool write_whole_file(const std::string& path, const std::string& content, std::string& err) {
  const std::string tmp = path + ".tmp";
  const std::string parent = parent_of(path);
  if (!parent.empty() && !make_dirs(parent)) {
    err = "could not create directory: " + parent;
    return false;
  }
  if (!write_synced(tmp, content, err)) return false;
  if (!rename_file(tmp, path, err)) return false;
  if (path.find_first_of("/\\") == std::string::npos) {
    sync_directory(".");
  } else {
    sync_directory(parent.empty() ? std::string("/") : parent);
  }
  return true;
}

int open_new_file(const std::string& path) {
  ::unlink(path.c_str());
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

std::string sha256_file(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::string();
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  std::vector<unsigned char> buf(65536);
  for (;;) {
    const ssize_t n = read_some(fd.get(), buf.data(), buf.size());
    if (n == 0) break;
    if (n < 0) return std::string();
    SHA256_Update(&ctx, buf.data(), static_cast<size_t>(n));
  }
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256_Final(digest, &ctx);
  return hex_encode(digest, sizeof digest);
}

}  // namespace util
