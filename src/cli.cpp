#include "cli.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "config.h"
#include "download.h"
#include "gamelaunch.h"
#include "http.h"
#include "installer.h"
#include "manifest.h"
#include "paths.h"
#include "selfupdate.h"
#include "util.h"
#include "version.h"

namespace {

// The parsed command line.
struct Options {
  std::string command;
  std::string server;
  std::string channel;
  std::string data_dir;
  std::string config;
  std::vector<std::string> args;
  std::vector<std::string> engine_args;
  bool yes = false;
  bool force = false;
  bool offline = false;
  bool no_update = false;
  bool no_selfupdate = false;
  bool download = false;
};

const std::vector<std::string> kDefaultComponents = {"engine", "game"};
const std::vector<std::string> kAllComponents = {"engine", "game", "launcher"};
constexpr char kSourceFallbackName[] = "quillstep-engine-source.zip";
constexpr char kLicensePath[] = "license/LGPL-2.1.txt";

// First %s: the launcher version; second: the built-in server URL (never the configured one).
constexpr char kHelpText[] =
    "Quillstep launcher %s \xE2\x80\x94 CLI installer/launcher for Quillstep\n"
    "\n"
    "Usage: quillstep <command> [options]\n"
    "\n"
    "Commands:\n"
    "  launch [--] [engine args...]   Start the game (auto-updates by default;\n"
    "                                 everything after `--` is passed to the engine)\n"
    "  update [components...]         Download/install: launcher engine game all\n"
    "  status                         Show installed and available versions\n"
    "  list <component>               List available builds of a component\n"
    "  source-info [--download]       Where to get the engine's LGPL source archive\n"
    "  selfupdate                     Update the launcher binary itself\n"
    "  version                        Print launcher version\n"
    "\n"
    "Options:\n"
    "  --server <url>       Distribution site (default from launcher.conf: %s)\n"
    "  --channel <name>     \"stable\" or \"dev\"\n"
    "  --data-dir <path>    Where managed files live (default OS-dependent)\n"
    "  --config <path>      Alternate launcher.conf\n"
    "  --yes                Do not ask before downloading\n"
    "  --force              Reinstall even if already up to date\n"
    "  --offline            status: do not query the server\n"
    "  --no-update          launch: skip the automatic update\n"
    "  --no-selfupdate      launch: skip the launcher self-update\n"
    "  --download           source-info: download the source archive here\n"
    "  --help, -h           This text\n"
    "  --version            Same as `version`\n";

void print_help() { std::printf(kHelpText, kLauncherVersion, kDefaultServerUrl); }

// The member an option word fills with the argument after it, or nullptr.
std::string* value_option(Options& o, const std::string& a) {
  if (a == "--server") return &o.server;
  if (a == "--channel") return &o.channel;
  if (a == "--data-dir") return &o.data_dir;
  if (a == "--config") return &o.config;
  return nullptr;
}

// The member a switch word sets, or nullptr.
bool* flag_option(Options& o, const std::string& a) {
  if (a == "-y" || a == "--yes") return &o.yes;
  if (a == "--force") return &o.force;
  if (a == "--offline") return &o.offline;
  if (a == "--no-update") return &o.no_update;
  if (a == "--no-selfupdate") return &o.no_selfupdate;
  if (a == "--download") return &o.download;
  return nullptr;
}

// Reads argv left to right; whole words only, no "--opt=value", no bundled short options.
// On a usage error err holds the message and nothing after the offending word was looked at.
bool parse_options(int argc, char** argv, Options& o, std::string& err) {
  bool have_command = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--") {
      for (++i; i < argc; ++i) o.engine_args.emplace_back(argv[i]);
      return true;
    }
    if (a == "-h" || a == "--help" || a == "--version") {
      o.command = a == "--version" ? "version" : "help";
      return true;
    }
    if (std::string* value = value_option(o, a)) {
      if (i + 1 >= argc) {
        err = "missing value for " + a;
        return false;
      }
      *value = argv[++i];
    } else if (bool* flag = flag_option(o, a)) {
      *flag = true;
    } else if (!a.empty() && a[0] == '-') {
      err = "unknown option: " + a;
      return false;
    } else if (!have_command) {
      o.command = a;
      have_command = true;
    } else {
      o.args.push_back(a);
    }
  }
  return true;
}

// Settings: option, then launcher.conf, then built-in default. Creates the managed directories.
bool build_env(const Options& opts, installer::Env& env, std::string& err) {
  const std::string conf = opts.config.empty() ? paths::get_paths("").config_file : opts.config;
  if (!conf.empty() && util::path_exists(conf) && !env.config.load_file(conf, err)) return false;
  Config::apply_defaults(env.config);
  if (!opts.server.empty()) env.config.set_string(config_keys::server_url, opts.server);
  if (!opts.channel.empty()) env.config.set_string(config_keys::channel, opts.channel);
  if (!opts.data_dir.empty()) env.config.set_string(config_keys::data_dir, opts.data_dir);

  env.channel = util::lower(util::trim(env.config.get_string(config_keys::channel, "")));
  if (env.channel != "stable" && env.channel != "dev") {
    err = "invalid channel '" + env.channel + "' (use stable or dev)";
    return false;
  }
  std::string server = util::trim(env.config.get_string(config_keys::server_url, ""));
  while (!server.empty() && (server.back() == '/' || server.back() == '\\')) server.pop_back();
  if (server.empty()) {
    err = "server_url is not configured";
    return false;
  }
  env.base_url = util::join_paths(server, "dist");
  const char* platform = paths::platform_key();
  env.platform = platform ? platform : "";
  env.http.verify_tls = !env.config.get_bool(config_keys::insecure_tls, false);

  env.paths = paths::get_paths(util::trim(env.config.get_string(config_keys::data_dir, "")));
  if (env.paths.data_dir.empty()) {
    err = "could not determine a data directory; pass --data-dir";
    return false;
  }
  return paths::ensure_dirs(env.paths, err);
}

// Asks only a person at a terminal, and never under --yes.
bool want_download(const Options& opts, const std::string& prompt) {
  if (opts.yes || !isatty(STDIN_FILENO)) return true;
  return installer::confirm(prompt);
}

// The size to announce before downloading a component's build (0 when none is published).
uint64_t download_size(const installer::Env& env, const std::string& name,
                       const manifest::Build& build) {
  auto it = build.files.end();
  if (name == "game") it = build.files.find("all");
  if (it == build.files.end()) it = build.files.find(env.platform);
  return it == build.files.end() ? 0 : it->second.size;
}

// Brings one of engine/game up to date. Returns 0 (up to date, installed or skipped) or 1.
int update_component(installer::Env& env, const Options& opts, const std::string& name,
                     bool verbose) {
  const std::string installed = installer::get_installed_version(env, name + "_version");
  manifest::Manifest m;
  std::string err;
  if (!installer::fetch_manifest(env, name, m, err)) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), util::printable(err).c_str());
    return 1;
  }
  const manifest::Build* build = manifest::latest(m, env.channel);
  if (!build) {
    std::fprintf(stderr, "%s: no builds in channel '%s'\n", name.c_str(), env.channel.c_str());
    return 1;
  }
  if (!installed.empty() && util::compare_versions(build->version, installed) <= 0 && !opts.force) {
    if (verbose)
      std::printf("%s: up to date (%s)\n", name.c_str(), util::printable(installed).c_str());
    return 0;
  }
  const std::string prompt = name + " " + util::printable(build->version) + ": download " +
                             util::format_bytes(download_size(env, name, *build)) + "? [Y/n] ";
  if (!want_download(opts, prompt)) {
    std::printf("%s: skipped\n", name.c_str());
    return 0;
  }
  const bool ok = name == "engine" ? installer::install_engine(env, *build, opts.force, err)
                                   : installer::install_game(env, *build, opts.force, err);
  if (!ok) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), util::printable(err).c_str());
    return 1;
  }
  if (verbose)
    std::printf("%s: installed %s\n", name.c_str(), util::printable(build->version).c_str());
  return 0;
}

// The engine, then the game, each whatever became of the other.
int do_update_components(installer::Env& env, const Options& opts, bool verbose) {
  int result = 0;
  for (const std::string& name : kDefaultComponents) {
    if (update_component(env, opts, name, verbose) != 0) result = 1;
  }
  return result;
}

int cmd_update(installer::Env& env, const Options& opts) {
  std::vector<std::string> list = opts.args.empty() ? kDefaultComponents : opts.args;
  for (const std::string& c : list) {
    if (c == "all") {
      list = kAllComponents;
      break;
    }
  }
  bool engine_or_game = false;
  for (const std::string& c : list) {
    if (c != "launcher" && c != "engine" && c != "game") {
      std::fprintf(stderr, "unknown component: %s (use launcher, engine, game or all)\n",
                   util::printable(c).c_str());
      return 2;
    }
    if (c != "launcher") engine_or_game = true;
  }
  int result = engine_or_game ? do_update_components(env, opts, true) : 0;
  for (const std::string& c : list) {
    if (c != "launcher") continue;
    std::string err;
    const int r = selfupdate::check_and_update(env, opts.yes, err);
    if (r < 0) {
      std::fprintf(stderr, "launcher: %s\n", util::printable(err).c_str());
      result = 1;
    } else if (r > 0) {
      std::printf("launcher: updated \xE2\x80\x94 rerun the launcher to use the new version\n");
    } else {
      std::printf("launcher: up to date (%s)\n", kLauncherVersion);
    }
  }
  return result;
}

// Self-update and component update ahead of a launch; failures here are reported, not fatal,
// unless nothing was installed to begin with.
bool prepare_launch(installer::Env& env, const Options& opts) {
  if (!opts.no_selfupdate && env.config.get_bool(config_keys::self_update, true)) {
    std::string err;
    const int r = selfupdate::check_and_update(env, opts.yes, err);
    if (r < 0) {
      std::fprintf(stderr, "note: launcher self-update failed: %s\n", util::printable(err).c_str());
    } else if (r > 0) {
      std::printf("Launcher updated; next start will use the new version.\n");
    }
  }
  if (opts.no_update || !env.config.get_bool(config_keys::update_on_launch, true)) return true;
  const std::string before = installer::get_installed_version(env, "engine_version");
  return do_update_components(env, opts, false) == 0 || !before.empty();
}

int cmd_launch(installer::Env& env, const Options& opts) {
  if (!prepare_launch(env, opts)) return 1;
  const std::string version = installer::get_installed_version(env, "engine_version");
  if (version.empty()) {
    std::fprintf(stderr, "Nothing is installed yet \xE2\x80\x94 run: quillstep update\n");
    return 1;
  }
  if (installer::find_engine_binary(env.paths.engine_dir(version)).empty()) {
    std::fprintf(stderr,
                 "Engine %s is registered but its files are missing \xE2\x80\x94 run: quillstep "
                 "update --force\n",
                 util::printable(version).c_str());
    return 1;
  }
  std::string err;
  const int rc = gamelaunch::launch(env, version, opts.engine_args, err);
  if (rc < 0) {
    std::fprintf(stderr, "%s\n", util::printable(err).c_str());
    return 1;
  }
  if (rc > 0) std::printf("Game exited with code %d\n", rc);
  return rc;
}

int cmd_status(installer::Env& env, const Options& opts) {
  const auto or_default = [](const std::string& s, const char* def) {
    return s.empty() ? std::string(def) : util::printable(s);
  };
  std::printf("launcher:     %s (%s, channel: %s)\n", kLauncherVersion,
              or_default(env.platform, "unknown platform").c_str(), env.channel.c_str());
  std::printf("server:       %s\n", util::printable(env.base_url).c_str());
  std::printf("data dir:     %s\n", util::printable(env.paths.data_dir).c_str());
  std::printf("config:       %s\n", util::printable(env.paths.config_file).c_str());
  std::printf(
      "engine:       %s\n",
      or_default(installer::get_installed_version(env, "engine_version"), "not installed").c_str());
  std::printf(
      "game:         %s\n",
      or_default(installer::get_installed_version(env, "game_version"), "not installed").c_str());
  if (opts.offline) return 0;
  for (const std::string& name : kAllComponents) {
    manifest::Manifest m;
    std::string err;
    if (!installer::fetch_manifest(env, name, m, err)) {
      std::printf("latest %-9s: unavailable (%s)\n", name.c_str(), util::printable(err).c_str());
      continue;
    }
    const manifest::Build* b = manifest::latest(m, env.channel);
    std::printf("latest %-9s: %s\n", name.c_str(),
                b ? util::printable(b->version).c_str() : "(none)");
  }
  return 0;
}

// A source archive counts as published with a URL and a 64-character digest.
bool source_published(const manifest::Artifact& a) {
  return !a.url.empty() && a.sha256.size() == 64;
}

int cmd_list(installer::Env& env, const Options& opts) {
  if (opts.args.size() != 1) {
    std::fprintf(stderr, "usage: quillstep list <launcher|engine|game>\n");
    return 2;
  }
  const std::string& name = opts.args[0];
  if (name != "launcher" && name != "engine" && name != "game") {
    std::fprintf(stderr, "unknown component: %s\n", util::printable(name).c_str());
    return 2;
  }
  manifest::Manifest m;
  std::string err;
  if (!installer::fetch_manifest(env, name, m, err)) {
    std::fprintf(stderr, "%s\n", util::printable(err).c_str());
    return 1;
  }
  const auto channel = m.find(env.channel);
  if (channel == m.end()) {
    std::printf("No builds in channel '%s'.\n", env.channel.c_str());
    return 0;
  }
  std::printf("Channel '%s' of %s:\n\n", env.channel.c_str(), name.c_str());
  for (const manifest::Build& b : channel->second) {
    std::printf("  %-16s %s", util::printable(b.version).c_str(),
                util::printable(b.released).c_str());
    if (name == "engine" && source_published(b.source)) std::printf("  source");
    const auto art = b.files.find(env.platform);
    if (art != b.files.end()) {
      std::printf("  %s", util::format_bytes(art->second.size).c_str());
    } else if (name != "game") {
      std::printf("  no %s build", env.platform.c_str());
    }
    std::printf("\n");
  }
  return 0;
}

// The local file name for a downloaded source archive. Names that could leave the current
// directory, replace a hidden start-up file there (".bashrc") or be cut short at a NUL by a system
// call (removing "precious" for "precious\0.zip"), fall back to a fixed name.
std::string source_file_name(const std::string& url) {
  const size_t slash = url.rfind('/');
  std::string name = util::trim(slash == std::string::npos ? url : url.substr(slash + 1));
  const bool control =
      std::any_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
  if (name.empty() || name.find("..") != std::string::npos || name[0] == '.' || control) {
    return kSourceFallbackName;
  }
  return name;
}

int download_source(installer::Env& env, const manifest::Artifact& src) {
  const std::string name = source_file_name(src.url);
  const std::string dest = util::join_paths(".", name);
  std::printf("\nDownloading %s ...\n", util::printable(dest).c_str());
  std::fflush(stdout);
  http::Options options = env.http;
  options.timeout_ms = 0;
  std::string err;
  if (!download::verified(env.base_url, src.url, src.sha256, src.size, dest, options, err,
                          download::console_progress(name), download::Where::kUserDirectory)) {
    std::fprintf(stderr, "download failed: %s\n", util::printable(err).c_str());
    return 1;
  }
  std::printf("Saved to %s\n", util::printable(dest).c_str());
  return 0;
}

int cmd_source_info(installer::Env& env, const Options& opts) {
  manifest::Manifest m;
  std::string err;
  if (!installer::fetch_manifest(env, "engine", m, err)) {
    std::fprintf(stderr, "%s\n", util::printable(err).c_str());
    return 1;
  }
  const std::string installed = installer::get_installed_version(env, "engine_version");
  const manifest::Build* b =
      installed.empty() ? nullptr : manifest::find(m, env.channel, installed);
  if (!b) b = manifest::latest(m, env.channel);
  if (!b) {
    std::fprintf(stderr, "no engine builds found\n");
    return 1;
  }
  if (!source_published(b->source)) {
    std::fprintf(stderr, "engine build %s has no source archive entry\n",
                 util::printable(b->version).c_str());
    return 1;
  }
  std::printf("Quillstep engine %s is based on Luanti (LGPL-2.1-or-later).\n",
              util::printable(b->version).c_str());
  std::printf(
      "The full corresponding source (including all Quillstep modifications) is available "
      "for at least three years:\n\n");
  std::printf("  archive: %s\n",
              util::printable(download::resolve_url(env.base_url, b->source.url)).c_str());
  std::printf("  sha256:  %s\n", util::printable(b->source.sha256).c_str());
  std::printf("  size:    %s\n\n", util::format_bytes(b->source.size).c_str());
  std::printf("License text: %s\n",
              util::printable(util::join_paths(env.base_url, kLicensePath)).c_str());
  std::printf("Game content (Lua mods, art, audio) is proprietary and not covered by the LGPL.\n");
  return opts.download ? download_source(env, b->source) : 0;
}

int cmd_selfupdate(installer::Env& env, const Options& opts) {
  std::string err;
  const int r = selfupdate::check_and_update(env, opts.yes, err);
  if (r < 0) {
    std::fprintf(stderr, "%s\n", util::printable(err).c_str());
    return 1;
  }
  if (r == 0) {
    std::printf("Launcher is up to date (%s).\n", kLauncherVersion);
  } else {
    std::printf("Launcher updated \xE2\x80\x94 rerun the launcher now to use the new version.\n");
  }
  return 0;
}

// Answers the commands that need neither the network nor settings; false for any other.
bool answer_offline(const Options& opts) {
  if (opts.command == "help") {
    print_help();
    return true;
  }
  if (opts.command == "version") {
    std::printf("%s %s (%s)\n", kLauncherName, kLauncherVersion, paths::platform_key());
    return true;
  }
  return false;
}

// Everything after HTTP initialisation, with env alive throughout.
int run(installer::Env& env, const Options& opts) {
  std::string err;
  if (!build_env(opts, env, err)) {
    std::fprintf(stderr, "%s\n", util::printable(err).c_str());
    return 1;
  }
  const std::string& c = opts.command;
  if (c == "update") return cmd_update(env, opts);
  if (c == "launch" || c == "play") return cmd_launch(env, opts);
  if (c == "status") return cmd_status(env, opts);
  if (c == "list") return cmd_list(env, opts);
  if (c == "source-info") return cmd_source_info(env, opts);
  if (c == "selfupdate") return cmd_selfupdate(env, opts);
  std::fprintf(stderr, "Unknown command: %s\n\n", util::printable(c).c_str());
  print_help();
  return 2;
}

}  // namespace

int cli_main(int argc, char** argv) {
  Options opts;
  std::string err;
  if (!parse_options(argc, argv, opts, err)) {
    std::fprintf(stderr, "%s\nTry: quillstep --help\n", util::printable(err).c_str());
    return 2;
  }
  if (opts.command.empty()) {
    print_help();
    return 2;
  }
  if (!http::init()) {
    std::fprintf(stderr, "failed to initialize HTTP backend\n");
    return 1;
  }
  int rc;
  {
    installer::Env env;
    rc = answer_offline(opts) ? 0 : run(env, opts);
  }
  http::deinit();
  return rc;
}
