#include "gamelaunch.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "util.h"

namespace gamelaunch {

namespace {

// Waits for pid, starting again after an interrupting signal.
bool wait_child(pid_t pid, int& status) {
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

int launch(const installer::Env& env, const std::string& version,
           const std::vector<std::string>& extra_args, std::string& err) {
  std::string binary = env.paths.engine_binary(version);
  if (binary.empty()) binary = installer::find_engine_binary(env.paths.engine_dir(version));
  if (binary.empty()) {
    err = "engine " + version + " is not installed (run: quillstep update)";
    return -1;
  }

  // The strings own the bytes; argv points into them and outlives the fork.
  std::vector<std::string> args = {binary,        "--game-dir",         env.paths.games_dir,
                                   "--world-dir", env.paths.worlds_dir, "--gameid",
                                   "quillstep"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const std::string shown = util::printable(binary);  // made before the fork: the child only prints
  std::printf("Launching %s ...\n", shown.c_str());
  std::fflush(stdout);  // or the child would inherit and repeat the buffered line

  const pid_t pid = fork();
  if (pid < 0) {
    err = "fork failed";
    return -1;
  }
  if (pid == 0) {
    execv(binary.c_str(), argv.data());
    std::fprintf(stderr, "execv failed for %s: %s\n", shown.c_str(), std::strerror(errno));
    _exit(127);
  }

  int status = 0;
  if (!wait_child(pid, status)) {
    err = "waitpid failed";
    return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace gamelaunch
