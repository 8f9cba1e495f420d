#pragma once

// Scratch directories, whole-file helpers and the loopback server (tests/server.py) for unit tests.

#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace testsupport {

// A fresh directory under the system temporary directory, removed with everything in it.
struct Scratch {
  std::string root;
  Scratch() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quillstep-unit-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    root = tmpl;
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  std::string operator/(const std::string& rel) const { return root + "/" + rel; }
};

inline std::string put(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

inline std::string slurp(const std::string& path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

inline std::string server_script() {
  const char* env = std::getenv("QUILLSTEP_TEST_SERVER");
  return env ? env : QUILLSTEP_SOURCE_DIR "/tests/server.py";
}

// tests/server.py serving root on 127.0.0.1 with the given options, stopped when destroyed.
class TestServer {
public:
  explicit TestServer(const std::string& root, const std::string& options = "") {
    std::filesystem::create_directories(root);
    const std::string cmd = "/usr/bin/python3 '" + server_script() + "' --root '" + root + "' " +
                            options + " & echo PID $!";
    std::FILE* out = popen(cmd.c_str(), "r");
    char line[64];
    while ((pid_ == 0 || port_ == 0) && out && std::fgets(line, sizeof line, out)) {
      std::sscanf(line, "PID %d", &pid_);
      std::sscanf(line, "PORT %d", &port_);
    }
    if (out) pclose(out);
    if (port_ == 0) throw std::runtime_error("test server did not start");
    scheme_ = options.find("--tls-cert") == std::string::npos ? "http" : "https";
  }
  ~TestServer() {
    if (pid_ > 0) kill(pid_, SIGTERM);
  }

  // The URL of path ("/dist/x") on this server.
  std::string url(const std::string& path = "") const {
    return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path;
  }

private:
  int pid_ = 0, port_ = 0;
  std::string scheme_;
};

}  // namespace testsupport
