#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

// A scratch directory named after its tag under the system's temporary directory. It starts
// empty and is removed with the object, also when a REQUIRE leaves the test case early.
// The name has no random part, so only one self-test run per temporary directory at a time.
class TestTempDir {
public:
  std::filesystem::path root;

  // Empties and creates "<tmp>/quillstep-launcher-test-<tag>", private to the effective user.
  // Throws, failing the test case, when what is there is not such a directory: in a shared
  // temporary directory another user may have put a link or a directory of their own there.
  explicit TestTempDir(const std::string& tag) {
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    root = base / ("quillstep-launcher-test-" + tag);
    std::filesystem::remove_all(root, ec);
    std::filesystem::create_directories(root, ec);
    const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    const bool ours =
        fd >= 0 && ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && ::fchmod(fd, 0700) == 0;
    if (fd >= 0) ::close(fd);
    if (!ours)
      throw std::runtime_error("scratch directory is missing, a link or another user's: " +
                               root.string());
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
