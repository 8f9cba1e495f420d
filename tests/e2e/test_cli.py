"""The command line itself: help, version, usage errors and the settings that shape a run."""

import os

import pytest

from conftest import EM

HELP = f"""Quillstep launcher 0.1.0 {EM} CLI installer/launcher for Quillstep

Usage: quillstep <command> [options]

Commands:
  launch [--] [engine args...]   Start the game (auto-updates by default;
                                 everything after `--` is passed to the engine)
  update [components...]         Download/install: launcher engine game all
  status                         Show installed and available versions
  list <component>               List available builds of a component
  source-info [--download]       Where to get the engine's LGPL source archive
  selfupdate                     Update the launcher binary itself
  version                        Print launcher version

Options:
  --server <url>       Distribution site (default from launcher.conf: https://downloads.quillstep.net)
  --channel <name>     "stable" or "dev"
  --data-dir <path>    Where managed files live (default OS-dependent)
  --config <path>      Alternate launcher.conf
  --yes                Do not ask before downloading
  --force              Reinstall even if already up to date
  --offline            status: do not query the server
  --no-update          launch: skip the automatic update
  --no-selfupdate      launch: skip the launcher self-update
  --download           source-info: download the source archive here
  --help, -h           This text
  --version            Same as `version`
"""
VERSION = "quillstep-launcher 0.1.0 (linux-x64)\n"


@pytest.mark.parametrize("words,rc,text", [
    ("-h", 0, HELP), ("update --help", 0, HELP), ("--help --bogus", 0, HELP),
    ("play --version -x", 0, VERSION), ("-- --fullscreen", 2, HELP), (" status", 2, HELP),
    ("-z status", 2, "unknown option: -z"),
    ("status --channel", 2, "missing value for --channel")])
def test_help_version_and_usage_errors_read_no_settings_and_create_nothing(run, tmp_path, words,
                                                                           rc, text):
    run.write_config("not a setting\n")
    before = sorted(tmp_path.rglob("*"))
    r = run(*words.split(" "), server=False)
    out, err = (text, "") if text in (HELP, VERSION) else ("", text + "\nTry: quillstep --help\n")
    assert (r.rc, r.out, r.err) == (rc, out, err), r
    assert sorted(tmp_path.rglob("*")) == before


def test_settings_option_then_file_then_default_and_bad_ones_stop_the_run(run, tmp_path):
    def head(*args, env=None):
        r = run("status", "--offline", *args, env=env)
        assert r.rc == 0, r
        return r.out.splitlines()[:4]

    def expect(channel, server, data_dir):
        return [f"launcher:     0.1.0 (linux-x64, channel: {channel})",
                f"server:       {server}/dist", f"data dir:     {data_dir}",
                f"config:       {run.config_file}"]

    assert head() == expect("stable", "https://downloads.quillstep.net", run.data_dir)
    run.write_config("server_url = http://file.example//  \nchannel =  Dev \n"
                     f"data_dir = {tmp_path / 'file'}\n")
    assert head() == expect("dev", "http://file.example", tmp_path / "file")
    assert head("--server", "http://opt.example", "--channel", "stable", "--data-dir",
                tmp_path / "opt") == expect("stable", "http://opt.example", tmp_path / "opt")
    assert head("--channel", "")[0].endswith("channel: dev)")
    (tmp_path / "other.conf").write_text("channel = stable\n")
    assert head("--config", tmp_path / "other.conf")[0].endswith("channel: stable)")
    for conf, args, rc, err in [
            ("", ["Status"], 2, "Unknown command: Status\n\n"),  # settings are read first:
            ("channel = dev\n\nx\n", ["Status"], 1, f"invalid line 3 in {run.config_file}\n"),
            ("server_url =\n", ["status"], 1, "server_url is not configured\n"),
            ("", ["status", "--server", "//"], 1, "server_url is not configured\n")]:
        run.write_config(conf)
        r = run(*args, "--offline")
        assert (r.rc, r.out, r.err) == (rc, HELP if rc == 2 else "", err), r
    # Without XDG directories those under the home directory; without a home only an explicit one.
    env = {"PATH": os.environ["PATH"], "HOME": str(run.home), "XDG_DATA_HOME": ""}
    assert head(env=env)[2:] == [f"data dir:     {run.home}/.local/share/quillstep",
                                 f"config:       {run.home}/.config/quillstep/launcher.conf"]
    env = {"PATH": os.environ["PATH"]}
    assert head("--data-dir", tmp_path / "d", env=env)[2:] == [f"data dir:     {tmp_path}/d",
                                                               "config:       launcher.conf"]
    r = run("status", env=env)
    assert (r.rc, r.err) == (1, "could not determine a data directory; pass --data-dir\n"), r
