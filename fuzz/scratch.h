#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

// A fresh directory for one fuzzing process, under $QUILLSTEP_FUZZ_SCRATCH (default /dev/shm),
// removed when the process ends.
struct ScratchDir {
  std::filesystem::path root;

  explicit ScratchDir(const std::string& name) {
    const char* base = std::getenv("QUILLSTEP_FUZZ_SCRATCH");
    std::string tmpl = std::string(base && *base ? base : "/dev/shm") + "/" + name + "-XXXXXX";
    if (!mkdtemp(tmpl.data())) {
      std::fprintf(stderr, "%s: cannot create scratch directory %s\n", name.c_str(), tmpl.c_str());
      std::abort();
    }
    root = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
};
