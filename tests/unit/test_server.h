#pragma once

// Scratch directories and the loopback file server (tests/server.py) for unit tests.

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under the system temporary directory, removed with everything in it.
class ScratchDir {
public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quillstep-unit-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string path(const std::string& rel = "") const {
    return rel.empty() ? path_ : path_ + "/" + rel;
  }

private:
  std::string path_;
};

inline void write_file(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string server_script() {
  if (const char* env = std::getenv("QUILLSTEP_TEST_SERVER")) return env;
#ifdef QUILLSTEP_SOURCE_DIR
  return std::string(QUILLSTEP_SOURCE_DIR) + "/tests/server.py";
#else
  return "tests/server.py";
#endif
}

// Runs argv to completion with standard output discarded; true on exit status 0.
inline bool run_quietly(std::vector<std::string> argv) {
  pid_t pid = fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Writes cert.pem and key.pem, self-signed for 127.0.0.1 and localhost, into dir.
inline bool make_self_signed_cert(const std::string& dir) {
  return run_quietly({"/usr/bin/python3", "-c",
                      "import sys; sys.path.insert(0, sys.argv[1]); import server; "
                      "server.make_self_signed_cert(sys.argv[2])",
                      std::filesystem::path(server_script()).parent_path().string(), dir});
}

// tests/server.py serving root (created when missing) on 127.0.0.1; stopped with SIGTERM when
// destroyed.
class TestServer {
public:
  explicit TestServer(const std::string& root, std::vector<std::string> extra = {}) {
    std::filesystem::create_directories(root);
    std::vector<std::string> argv = {"/usr/bin/python3", server_script(), "--root", root};
    argv.insert(argv.end(), extra.begin(), extra.end());
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], STDOUT_FILENO);
      close(fds[0]);
      close(fds[1]);
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(fds[1]);
    const std::string line = read_line(fds[0]);
    close(fds[0]);
    if (pid_ < 0 || line.rfind("PORT ", 0) != 0) {
      stop();
      throw std::runtime_error("test server did not start: " + line);
    }
    port_ = std::stoi(line.substr(5));
    scheme_ = std::find(extra.begin(), extra.end(), "--tls-cert") != extra.end() ? "https" : "http";
  }
  ~TestServer() { stop(); }
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  int port() const { return port_; }
  // The URL of path ("/dist/x") on this server, e.g. "http://127.0.0.1:4711/dist/x".
  std::string url(const std::string& path = "") const {
    return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path;
  }

private:
  // The first line on fd; gives up after 20 s of silence so a broken server cannot hang the suite.
  static std::string read_line(int fd) {
    std::string line;
    char c;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 20000) > 0 && read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

  pid_t pid_ = -1;
  int port_ = 0;
  std::string scheme_;
};

}  // namespace testsupport
