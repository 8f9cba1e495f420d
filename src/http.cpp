#include "http.h"

#include <curl/curl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "util.h"

namespace http {
namespace {

// Far above any real manifest; a server cannot make a text grow without bound.
constexpr uint64_t kMaxTextBytes = 16 << 20;

// Where one transfer's bytes go: at most one of the two is set.
struct WriteTarget {
  std::string* body = nullptr;
  FILE* file = nullptr;
  uint64_t limit = 0;  // more bytes than this end the transfer; 0 = no limit
  uint64_t received = 0;
  int write_errno = 0;  // why the write failed, e.g. a full disk

  bool over_limit() const { return limit != 0 && received > limit; }
};

struct ProgressTarget {
  ProgressFn progress;
  // The last figures reported: the library repeats them (several times once a transfer is
  // complete), and a display would draw its finished line once per repeat.
  bool reported = false;
  uint64_t last_now = 0;
  uint64_t last_total = 0;
};

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Larger than stdio's default so a fast local transfer is not dominated by write calls.
constexpr size_t kFileBufferSize = 1 << 20;

// Returning less than n ends the transfer with CURLE_WRITE_ERROR. No exception may leave here:
// it would unwind through the library's C frames.
size_t write_callback(char* data, size_t size, size_t count, void* userdata) {
  auto* target = static_cast<WriteTarget*>(userdata);
  const size_t n = size * count;
  target->received += n;
  if (target->body) {
    if (target->over_limit()) return 0;
    try {
      target->body->append(data, n);
    } catch (...) {
      target->write_errno = ENOMEM;
      return 0;
    }
    return n;
  }
  // The piece that passes the limit is still written, so the file shows that more arrived.
  if (target->file && std::fwrite(data, 1, n, target->file) != n) {
    target->write_errno = errno;
    return 0;
  }
  return target->over_limit() ? 0 : n;
}

int xferinfo_callback(void* userdata, curl_off_t dltotal, curl_off_t dlnow, curl_off_t,
                      curl_off_t) {
  auto* target = static_cast<ProgressTarget*>(userdata);
  if (!target || !target->progress) return 0;
  const auto now = static_cast<uint64_t>(dlnow);
  const auto total = static_cast<uint64_t>(dltotal);
  if (target->reported && now == target->last_now && total == target->last_total) return 0;
  target->reported = true;
  target->last_now = now;
  target->last_total = total;
  try {
    target->progress(now, total);
  } catch (...) {
    // A display that fails to draw never stops a transfer.
  }
  return 0;
}

// An https request may be redirected to https only, any other to http or https: a redirect must
// not hand the transfer to a scheme anyone on the path can rewrite.
const char* redirect_protocols(const std::string& url) {
  return util::starts_with(util::lower(url.substr(0, 6)), "https:") ? "https" : "http,https";
}

// Options are set in a fixed order. Only the redirect restriction's result is examined: a library
// older than 7.85 refuses it, and the transfer must not go ahead unrestricted. No handle comes
// back then, nor when the library has none, and code says which.
CurlPtr make_handle(const std::string& url, WriteTarget* write, ProgressTarget* progress,
                    const Options& opts, char* errbuf, CURLcode& code) {
  CurlPtr handle(curl_easy_init());
  CURL* c = handle.get();
  code = CURLE_FAILED_INIT;
  if (!c) return handle;
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, write_callback);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, write);
  curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, 10000L);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, opts.follow_redirects ? 1L : 0L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
  code = curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, redirect_protocols(url));
  if (code != CURLE_OK) return nullptr;
  curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
  if (!opts.user_agent.empty()) {
    const std::string agent = opts.user_agent + "/" + kLauncherVersion;
    curl_easy_setopt(c, CURLOPT_USERAGENT, agent.c_str());  // the library keeps its own copy
  }
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, opts.verify_tls ? 1L : 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, opts.verify_tls ? 2L : 0L);
  if (opts.timeout_ms != 0) curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, long{opts.timeout_ms});
  if (opts.low_speed_time_s != 0) {
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, long{opts.low_speed_time_s});
  }
  if (progress->progress) {
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, xferinfo_callback);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, progress);
  }
  return handle;
}

// The library's detail, plus the system's reason when writing was what failed; a response past
// the limit is named as such.
std::string failure_message(const std::string& url, CURLcode code, const char* errbuf,
                            const WriteTarget& write) {
  std::string msg = "GET " + url + " failed: ";
  if (code == CURLE_WRITE_ERROR && write.over_limit() && write.write_errno == 0)
    return msg + "response too large (more than " + util::format_bytes(write.limit) + ")";
  msg += errbuf[0] != '\0' ? errbuf : curl_easy_strerror(code);
  if (code == CURLE_WRITE_ERROR && write.write_errno != 0)
    msg += std::string(" (") + std::strerror(write.write_errno) + ")";
  return msg;
}

// Why no handle could be made.
std::string no_handle_message(const std::string& url, CURLcode code) {
  if (code == CURLE_FAILED_INIT) return "curl_easy_init failed";
  return "GET " + url + " failed: could not keep redirects from leaving https (" +
         curl_easy_strerror(code) + ")";
}

// A new file at path, never reached through a link (util::open_new_file).
FilePtr create_new_file(const std::string& path) {
  const int fd = util::open_new_file(path);
  if (fd < 0) return nullptr;
  FilePtr file(::fdopen(fd, "wb"));
  if (!file) ::close(fd);
  return file;
}

}  // namespace

bool init() { return curl_global_init(CURL_GLOBAL_ALL) == 0; }

void deinit() { curl_global_cleanup(); }

bool fetch_string(const std::string& url, std::string& body, std::string& err,
                  const Options& opts) {
  WriteTarget write;
  write.body = &body;
  write.limit = kMaxTextBytes;
  ProgressTarget progress;
  char errbuf[CURL_ERROR_SIZE] = {};
  CURLcode code;
  CurlPtr handle = make_handle(url, &write, &progress, opts, errbuf, code);
  if (!handle) {
    err = no_handle_message(url, code);
    return false;
  }
  code = curl_easy_perform(handle.get());
  handle.reset();
  if (code == CURLE_OK) return true;
  err = failure_message(url, code, errbuf, write);
  body.clear();
  return false;
}

bool fetch_to_file(const std::string& url, const std::string& path, std::string& err,
                   const ProgressFn& progress, const Options& opts, uint64_t max_bytes) {
  ProgressTarget target{progress};
  char errbuf[CURL_ERROR_SIZE] = {};
  // Declared before the file so that the file is closed (and flushed) before its buffer goes.
  std::unique_ptr<char[]> buffer(new char[kFileBufferSize]);
  FilePtr file = create_new_file(path);
  if (!file) {
    err = "could not open for writing: " + path;
    return false;
  }
  std::setvbuf(file.get(), buffer.get(), _IOFBF, kFileBufferSize);
  Options file_opts = opts;
  file_opts.timeout_ms = 0;  // a large file may take long; the stall guard still applies
  WriteTarget write;
  write.file = file.get();
  write.limit = max_bytes;
  CURLcode code;
  CurlPtr handle = make_handle(url, &write, &target, file_opts, errbuf, code);
  if (!handle) {
    err = no_handle_message(url, code);
    return false;
  }
  code = curl_easy_perform(handle.get());
  handle.reset();
  // The last buffered bytes reach the disk only here; a full disk must not pass as success.
  const bool closed = std::fclose(file.release()) == 0;
  const int close_errno = errno;
  if (code != CURLE_OK) {
    err = failure_message(url, code, errbuf, write);
    return false;
  }
  if (!closed) {
    err = "error writing file: " + path + " (" + std::strerror(close_errno) + ")";
    return false;
  }
  return true;
}

}  // namespace http
