#include "installer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "archive.h"
#include "download.h"
#include "util.h"

namespace fs = std::filesystem;

namespace installer {

namespace {

constexpr char kGameName[] = "quillstep";

// The part of the trimmed URL after its last '/'.
std::string url_label(const std::string& url) {
  std::string u = util::trim(url);
  size_t slash = u.rfind('/');
  return slash == std::string::npos ? u : u.substr(slash + 1);
}

// Empties staging, downloads the artifact to archive and unpacks it into staging. The caller
// cleans up on failure.
bool download_unpack(const Env& env, const manifest::Artifact& artifact,
                     const std::string& archive_path, const std::string& staging,
                     std::string& err) {
  util::remove_tree(staging);
  if (!util::make_dirs(staging)) {
    err = "could not create staging directory: " + staging;
    return false;
  }
  download::console_progress progress(url_label(artifact.url));
  http::Options opts = env.http;
  opts.timeout_ms = 0;  // large archives on slow links; the stall guard still applies
  if (!download::verified(env.base_url, artifact, archive_path, opts, err, progress)) return false;
  return archive::extract_zip(archive_path, staging, err);
}

// Whatever stands at either name in the cache goes, so a leftover cannot block the next run.
void remove_both(const std::string& archive_path, const std::string& staging) {
  util::remove_tree(archive_path);
  util::remove_tree(staging);
}

// The "all" artifact wins over the platform's; the one found first must be usable.
bool choose_game_artifact(const Env& env, const manifest::Build& build, manifest::Artifact& out,
                          std::string& err) {
  auto it = build.files.find("all");
  if (it == build.files.end()) it = build.files.find(env.platform);
  if (it == build.files.end()) {
    err = "game build " + build.version + " has no artifact";
    return false;
  }
  if (it->second.url.empty() || it->second.sha256.size() != 64) {
    err = "game build " + build.version + ": malformed artifact entry";
    return false;
  }
  out = it->second;
  return true;
}

// Moves the live game aside, the new tree in, and the old one back when that fails.
bool swap_game(const std::string& source, const std::string& game_dir, std::string& err) {
  const std::string aside = game_dir + ".old";
  util::remove_tree(aside);
  if (util::path_exists(game_dir) && !move_tree(game_dir, aside, err)) return false;
  if (!move_tree(source, game_dir, err)) {
    if (util::path_exists(aside)) move_tree(aside, game_dir, err);
    return false;
  }
  util::remove_tree(aside);
  return true;
}

// Removes every engine version directory (or link to one) other than keep; files stay.
void prune_engines(const std::string& engine_root, const std::string& keep) {
  std::error_code ec;
  std::vector<fs::path> doomed;
  for (fs::directory_iterator it(engine_root, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    if (!it->is_directory(type_ec) || type_ec) continue;
    if (it->path().filename().string() != keep) doomed.push_back(it->path());
  }
  for (const auto& p : doomed) util::remove_tree(p.string());
}

}  // namespace

bool fetch_manifest(const Env& env, const std::string& component, manifest::Manifest& out,
                    std::string& err) {
  const std::string url = util::join_paths(env.base_url, component + "/manifest.json");
  std::string body;
  if (!http::fetch_string(url, body, err, env.http)) return false;
  std::string perr;
  const bool ok = component == "launcher" ? manifest::parse_launcher(body, out, perr)
                                          : manifest::parse(body, out, perr);
  if (!ok) {
    err = "manifest " + component + ": " + perr;
    return false;
  }
  return true;
}

std::string get_installed_version(const Env& env, const std::string& key) {
  Config state;
  std::string ignored;  // a missing or damaged file still yields what could be read
  state.load_file(env.paths.state_file, ignored);
  return state.get_string(key, "");
}

bool set_installed_version(Env& env, const std::string& key, const std::string& value,
                           std::string& err) {
  Config state;
  std::string ignored;
  state.load_file(env.paths.state_file, ignored);
  state.set_string(key, value);
  const std::string& file = env.paths.state_file;
  const size_t sep = file.find_last_of("/\\");
  if (sep != std::string::npos) util::make_dirs(file.substr(0, sep + 1));
  return state.save_file(file, err);
}

std::string find_engine_binary(const std::string& dir) {
  static const char* const names[] = {"quillstep", "luanti"};
  if (dir.empty()) return "";
  const std::string bin = util::join_paths(dir, "bin");
  for (const char* name : names) {
    std::string candidate = util::join_paths(bin, name);
    if (util::path_exists(candidate)) return candidate;
  }
  return "";
}

bool move_tree(const std::string& src, const std::string& dst, std::string& err) {
  std::error_code ec;
  fs::rename(src, dst, ec);
  if (!ec) return true;
  // Across file systems or onto a non-empty directory: replace dst by a copy.
  util::remove_tree(dst);
  ec.clear();
  fs::copy(src, dst, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
  if (ec) {
    err = "could not move " + src + " -> " + dst + " (" + ec.message() + ")";
    return false;
  }
  util::remove_tree(src);
  return true;
}

bool check_version(const std::string& component, const std::string& version, Recorded recorded,
                   std::string& err) {
  // Control bytes, '#' and outer blanks would not survive a round trip through state.cfg.
  const bool unstorable =
      recorded == Recorded::kYes &&
      (std::any_of(version.begin(), version.end(),
                   [](unsigned char c) { return c < 0x20 || c == 0x7f || c == '#'; }) ||
       (!version.empty() && (version.front() == ' ' || version.back() == ' ')));
  const bool unsafe = version.empty() || version == "." || version == ".." || unstorable ||
                      version.find_first_of(std::string("/\\\0", 3)) != std::string::npos ||
                      (version.size() >= 2 && version[1] == ':' &&
                       std::isalpha(static_cast<unsigned char>(version[0])));
  if (unsafe) {
    err = component + " build has an unsafe version name: '" + util::printable(version) + "'";
    return false;
  }
  return true;
}

bool confirm(const std::string& prompt) {
  std::fputs(prompt.c_str(), stdout);
  std::fflush(stdout);
  // Reads the whole line so that a long answer's tail cannot answer the next question; only the
  // first 63 bytes count.
  std::string answer;
  int c;
  while ((c = std::getchar()) != EOF && c != '\n') {
    if (answer.size() < 63) answer += static_cast<char>(c);
  }
  return answer.empty() || (answer[0] != 'n' && answer[0] != 'N');
}

bool install_game(Env& env, const manifest::Build& build, bool force, std::string& err) {
  const std::string& v = build.version;
  if (!check_version("game", v, Recorded::kYes, err)) return false;
  manifest::Artifact artifact;
  if (!choose_game_artifact(env, build, artifact, err)) return false;
  const std::string game_dir = util::join_paths(env.paths.games_dir, kGameName);
  if (!force && get_installed_version(env, "game_version") == v &&
      util::path_exists(util::join_paths(game_dir, "game.conf"))) {
    return true;
  }
  if (!build.min_engine.empty()) {
    const std::string engine = get_installed_version(env, "engine_version");
    if (!engine.empty() && util::compare_versions(engine, build.min_engine) < 0) {
      err = "game " + v + " requires engine " + build.min_engine + " (installed: " + engine + ")";
      return false;
    }
  }
  const std::string archive_path =
      util::join_paths(env.paths.cache_dir, "quillstep-game-" + v + ".zip");
  const std::string staging = util::join_paths(env.paths.cache_dir, "staging-game");
  if (!download_unpack(env, artifact, archive_path, staging, err)) {
    remove_both(archive_path, staging);
    return false;
  }
  const std::string source = util::join_paths(util::join_paths(staging, "games"), kGameName);
  if (!util::path_exists(util::join_paths(source, "game.conf"))) {
    err = "game archive does not contain games/quillstep/game.conf \u2014 broken package";
    remove_both(archive_path, staging);
    return false;
  }
  if (!swap_game(source, game_dir, err)) {
    remove_both(archive_path, staging);
    return false;
  }
  util::remove_tree(staging);
  // On failure the archive stays: the tree is in place, only the record is missing.
  if (!set_installed_version(env, "game_version", v, err)) return false;
  util::remove_tree(archive_path);
  return true;
}

bool install_engine(Env& env, const manifest::Build& build, bool force, std::string& err) {
  const std::string& v = build.version;
  const std::string& platform = env.platform;
  if (!check_version("engine", v, Recorded::kYes, err)) return false;
  if (!manifest::check_build(build, platform, true, err)) return false;
  const manifest::Artifact& artifact = build.files.at(platform);
  if (!force && get_installed_version(env, "engine_version") == v &&
      !find_engine_binary(env.paths.engine_dir(v)).empty()) {
    return true;
  }
  const std::string archive_path =
      util::join_paths(env.paths.cache_dir, "quillstep-engine-" + v + "-" + platform + ".zip");
  const std::string staging = util::join_paths(env.paths.cache_dir, "staging-engine");
  if (!download_unpack(env, artifact, archive_path, staging, err)) {
    remove_both(archive_path, staging);
    return false;
  }
  if (find_engine_binary(staging).empty()) {
    err = "engine archive for " + v + " does not contain bin/luanti(.exe) \u2014 broken build";
    remove_both(archive_path, staging);
    return false;
  }
  const std::string target = env.paths.engine_dir(v);
  util::remove_tree(target);  // a forced reinstall starts from nothing
  if (!move_tree(staging, target, err)) {
    remove_both(archive_path, staging);
    return false;
  }
  if (!set_installed_version(env, "engine_version", v, err)) return false;
  prune_engines(env.paths.engine_root, v);
  util::remove_tree(archive_path);
  return true;
}

}  // namespace installer
