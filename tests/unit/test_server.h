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
  std::string root = (std::filesystem::temp_directory_path() / "quillstep-unit-XXXXXX").string();
  Scratch() {
    if (!mkdtemp(root.data())) throw std::runtime_error("mkdtemp failed");
  }
  ~Scratch() { std::filesystem::remove_all(root, ec); }
  std::string operator/(const std::string& rel) const { return root + "/" + rel; }
  std::error_code ec;  // a failed clean-up is ignored
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

// tests/server.py serving root on 127.0.0.1 with the given options, stopped when destroyed.
struct TestServer {
  std::string prefix;  // "http://127.0.0.1:<port>" or https
  int pid = 0, port = 0;

  explicit TestServer(const std::string& root, const std::string& options = "") {
    const std::string cmd = "/usr/bin/python3 '" QUILLSTEP_SOURCE_DIR "/tests/server.py' --root '" +
                            root + "' " + options + " & echo PID $!";
    std::FILE* out = popen(cmd.c_str(), "r");
    char line[64];
    while ((pid == 0 || port == 0) && out && std::fgets(line, sizeof line, out))
      if (!std::sscanf(line, "PID %d", &pid)) std::sscanf(line, "PORT %d", &port);
    if (out) pclose(out);
    if (pid <= 0 || port == 0) throw std::runtime_error("test server did not start");
    prefix = options.find("--tls") == std::string::npos ? "http" : "https";
    prefix += "://127.0.0.1:" + std::to_string(port);
  }
  ~TestServer() { kill(pid, SIGTERM); }
  std::string url(const std::string& path) const { return prefix + path; }
};

}  // namespace testsupport
