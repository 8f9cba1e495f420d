#include "selfupdate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "archive.h"
#include "download.h"
#include "manifest.h"
#include "paths.h"
#include "util.h"
#include "version.h"

namespace fs = std::filesystem;

namespace selfupdate {

namespace {

// Asks on a terminal whether to download; false when the user declined.
bool user_accepts(const std::string& version, uint64_t size) {
  std::printf("A new launcher version is available: %s (current: %s)\n",
              util::printable(version).c_str(), kLauncherVersion);
  if (installer::confirm("Download " + util::format_bytes(size) + "? [Y/n] ")) return true;
  std::printf("Launcher update skipped.\n");
  return false;
}

// Set once this process has replaced its executable: the file it runs from is gone from that path.
bool replaced_this_run = false;

// Makes aside a second name of target (a copy where hard links are refused). Whatever stands at
// aside goes first: whoever can put it beside the launcher can replace the launcher anyway.
bool keep_aside(const std::string& target, const std::string& aside, std::string& err) {
  util::remove_tree(aside);
  std::error_code ec;
  fs::create_hard_link(target, aside, ec);
  if (!ec) return true;
  std::string copy_err;
  if (util::copy_file(target, aside, copy_err)) return true;
  ::unlink(aside.c_str());  // a part-written copy, or a link planted in between
  err = "could not move the running launcher aside: " + copy_err;
  return false;
}

// Sets mode 0755 on path, which must still be a regular file, whatever bits it came with: an
// O_PATH descriptor needs no read permission and pins the file without following a link. 0 or an
// errno value; a failing permission change itself is ignored.
int make_executable(const std::string& path) {
  const int fd = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st {};
  const int error = ::fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
  if (error == 0) ::chmod(("/proc/self/fd/" + std::to_string(fd)).c_str(), 0755);
  ::close(fd);
  return error;
}

// Downloads the build's archive, unpacks it and swaps its executable in at own; removes archive
// and staging whatever happens after staging was created.
bool install_build(const installer::Env& env, const manifest::Build& build, const std::string& own,
                   std::string& err) {
  const std::string archive_path = util::join_paths(
      env.paths.cache_dir, std::string(kLauncherName) + "-" + build.version + ".zip");
  const std::string staging = util::join_paths(env.paths.cache_dir, "staging-launcher");
  util::remove_tree(staging);
  if (!util::make_dirs(staging)) {
    err = "could not create staging directory: " + staging;
    return false;
  }
  download::console_progress progress("launcher update");
  http::Options opts = env.http;
  opts.timeout_ms = 0;
  if (!download::verified(env.base_url, build.files.at(env.platform), archive_path, opts, err,
                          progress)) {
    util::remove_tree(archive_path);  // a leftover there would fail every later run the same way
    util::remove_tree(staging);
    return false;
  }
  bool ok = archive::extract_zip(archive_path, staging, err);
  const std::string new_file = util::join_paths(staging, kLauncherName);
  if (ok && !util::path_exists(new_file)) {
    err =
        std::string("launcher archive does not contain ") + kLauncherName + " \u2014 broken build";
    ok = false;
  }
  ok = ok && replace_executable(new_file, own, err);
  util::remove_tree(archive_path);
  util::remove_tree(staging);
  return ok;
}

}  // namespace

bool can_replace(const std::string& path, std::string& err) {
  if (path.empty()) {
    err = "could not determine the path of my own executable";
    return false;
  }
  // Once the running file was replaced or removed, the link names "<path> (deleted)" or, with a
  // file of that name, another file: writing there would not replace this launcher.
  struct stat running {};
  struct stat named {};
  if (util::ends_with(path, " (deleted)") || ::stat("/proc/self/exe", &running) != 0 ||
      ::stat(path.c_str(), &named) != 0 || running.st_dev != named.st_dev ||
      running.st_ino != named.st_ino) {
    err = "the launcher was replaced or removed since it started (" + path +
          "); start it again to update it";
    return false;
  }
  const size_t slash = path.rfind('/');
  const std::string dir = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  if (::access(dir.c_str(), W_OK) != 0) {
    err = "could not move the running launcher aside: " + std::generic_category().message(errno);
    return false;
  }
  return true;
}

bool replace_executable(const std::string& new_file, const std::string& target, std::string& err) {
  const std::string aside = target + ".old";
  const std::string fresh = target + ".new";
  const bool had_target = util::path_exists(target);
  if (had_target && !keep_aside(target, aside, err)) return false;
  ::unlink(fresh.c_str());  // a leftover file only
  // Readable for a move that has to copy it, whatever mode the archive gave it.
  make_executable(new_file);
  // Same directory as target, so the final step is one atomic rename.
  int error = util::rename_file(new_file, fresh, err) ? make_executable(fresh) : -1;
  if (error == 0 && ::rename(fresh.c_str(), target.c_str()) != 0) error = errno;
  if (had_target) ::unlink(aside.c_str());
  if (error == 0) return true;
  ::unlink(fresh.c_str());
  if (error > 0) {
    err = "could not put the new launcher in place at " + target + ": " +
          std::generic_category().message(error);
  }
  return false;
}

int check_and_update(installer::Env& env, bool assume_yes, std::string& err) {
  if (replaced_this_run) return 1;  // the new launcher is in place; this process is not it
  if (env.platform.empty()) {
    err = "no launcher artifacts are published for this platform";
    return -1;
  }
  manifest::Manifest m;
  if (!installer::fetch_manifest(env, "launcher", m, err)) return -1;
  const manifest::Build* build = manifest::latest(m, env.channel);
  if (!build) {
    err = "launcher manifest has no builds for channel '" + env.channel + "'";
    return -1;
  }
  if (util::compare_versions(build->version, kLauncherVersion) <= 0) return 0;
  if (!installer::check_version("launcher", build->version, installer::Recorded::kNo, err))
    return -1;
  if (!manifest::check_build(*build, env.platform, false, err)) return -1;
  const std::string own = paths::get_executable_path();
  if (!can_replace(own, err)) return -1;  // before asking: nothing to download in vain
  if (!assume_yes && isatty(fileno(stdin)) &&
      !user_accepts(build->version, build->files.at(env.platform).size)) {
    return 0;
  }
  if (!install_build(env, *build, own, err)) return -1;
  replaced_this_run = true;
  return 1;
}

}  // namespace selfupdate
