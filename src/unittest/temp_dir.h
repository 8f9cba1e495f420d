#pragma once

#include <filesystem>
#include <string>
#include <system_error>

// A scratch directory named after its tag under the system's temporary directory. It starts
// empty and is removed with the object, also when a REQUIRE leaves the test case early.
// File-system errors are ignored: a test whose directory is missing fails at its own assertions.
// The name has no random part, so only one self-test run per temporary directory at a time.
class TestTempDir {
public:
  std::filesystem::path root;

  // Empties and creates "<tmp>/quillstep-launcher-test-<tag>".
  explicit TestTempDir(const std::string& tag) {
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    root = base / ("quillstep-launcher-test-" + tag);
    std::filesystem::remove_all(root, ec);
    std::filesystem::create_directories(root, ec);
  }

  ~TestTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }

  TestTempDir(const TestTempDir&) = delete;
  TestTempDir& operator=(const TestTempDir&) = delete;

  // The path of name inside the directory (an absolute name replaces it); touches nothing.
  std::string file(const std::string& name) const { return (root / name).string(); }
};
