#include <sys/stat.h>

#include <catch2/catch_session.hpp>
#include <string>
#include <vector>

#include "cli.h"

namespace {

// Hands the command line, less every "--run-unittests", to the built-in self-tests.
int run_unittests(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    if (std::string(argv[i]) != "--run-unittests") args.emplace_back(argv[i]);
  }
  if (args.empty()) args.emplace_back("quillstep");  // Catch2 needs a program name
  std::vector<char*> ptrs;
  for (auto& a : args) ptrs.push_back(a.data());

  // The extraction cases check exact permission bits, which the player's umask would narrow.
  umask(022);
  int result;
  {
    Catch::Session session;
    result = session.applyCommandLine(static_cast<int>(ptrs.size()), ptrs.data());
    if (result == 0) result = session.run();
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--run-unittests") return run_unittests(argc, argv);
  }
  return cli_main(argc, argv);
}
