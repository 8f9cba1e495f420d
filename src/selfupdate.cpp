#include "selfupdate.h"

#include <unistd.h>

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

// Makes aside a second name of target (a copy where hard links are refused).
bool keep_aside(const std::string& target, const std::string& aside, std::string& err) {
  util::remove_tree(aside);
  std::error_code ec;
  fs::create_hard_link(target, aside, ec);
  if (!ec) return true;
  ec.clear();
  fs::copy_file(target, aside, fs::copy_options::overwrite_existing, ec);
  if (!ec) return true;
  util::remove_tree(aside);
  err = "could not move the running launcher aside: " + ec.message();
  return false;
}

// Downloads the build's archive, unpacks it and swaps its executable in; removes archive and
// staging whatever happens after staging was created.
bool install_build(const installer::Env& env, const manifest::Build& build, std::string& err) {
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
  std::string own;
  if (ok && (own = paths::get_executable_path()).empty()) {
    err = "could not determine the path of my own executable";
    ok = false;
  }
  ok = ok && replace_executable(new_file, own, err);
  util::remove_tree(archive_path);
  util::remove_tree(staging);
  return ok;
}

}  // namespace

bool replace_executable(const std::string& new_file, const std::string& target, std::string& err) {
  const std::string aside = target + ".old";
  const std::string fresh = target + ".new";
  const bool had_target = util::path_exists(target);
  if (had_target && !keep_aside(target, aside, err)) return false;
  util::remove_tree(fresh);
  // Same directory as target, so the final step is one atomic rename.
  if (!util::rename_file(new_file, fresh, err)) {
    util::remove_tree(fresh);
    util::remove_tree(aside);
    return false;
  }
  std::error_code ec;
  fs::permissions(fresh, fs::perms(0755), fs::perm_options::replace, ec);  // best effort
  ec.clear();
  fs::rename(fresh, target, ec);
  util::remove_tree(aside);
  if (ec) {
    util::remove_tree(fresh);
    err = "could not put the new launcher in place at " + target + ": " + ec.message();
    return false;
  }
  return true;
}

int check_and_update(installer::Env& env, bool assume_yes, std::string& err) {
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
  if (!installer::check_version("launcher", build->version, err)) return -1;
  if (!manifest::check_build(*build, env.platform, false, err)) return -1;
  if (!assume_yes && isatty(fileno(stdin)) &&
      !user_accepts(build->version, build->files.at(env.platform).size)) {
    return 0;
  }
  return install_build(env, *build, err) ? 1 : -1;
}

}  // namespace selfupdate
