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


def created_anything(run):
    return [p for p in (run.data_home, run.config_home) if p.exists()] + list(run.home.iterdir())


@pytest.mark.parametrize("args", [["help"], ["-h"], ["--help"], ["update", "--help"],
                                  ["--help", "--bogus"], ["status", "--server", "x", "-h"]])
def test_help_prints_the_exact_text_and_succeeds(run, args):
    r = run(*args, server=False)
    assert (r.rc, r.out, r.err) == (0, HELP, ""), r
    assert len(r.out.splitlines()) == 27


def test_help_ignores_a_configured_server(run):
    run.write_config("server_url = https://elsewhere.example\n")
    r = run("help", "--server", "https://other.example")
    assert r.out == HELP


@pytest.mark.parametrize("args,message", [
    (["--bogus", "status"], "unknown option: --bogus"),
    (["-"], "unknown option: -"),
    (["--server=x", "status"], "unknown option: --server=x"),
    (["-yf", "update"], "unknown option: -yf"),
    (["--bogus", "--help"], "unknown option: --bogus"),
    (["status", "--channel"], "missing value for --channel"),
    (["--config"], "missing value for --config"),
])
def test_usage_errors_exit_2_and_touch_nothing(run, args, message):
    r = run(*args, server=False)
    assert (r.rc, r.out, r.err) == (2, "", message + "\nTry: quillstep --help\n"), r
    assert created_anything(run) == []


@pytest.mark.parametrize("args", [[], ["--", "--fullscreen"], ["", "status"], ["--yes"]])
def test_no_command_prints_help_and_exits_2(run, args):
    r = run(*args, server=False)
    assert (r.rc, r.out, r.err) == (2, HELP, ""), r
    assert created_anything(run) == []


@pytest.mark.parametrize("word", ["Status", "frobnicate"])
def test_unknown_command_reports_word_and_help(run, word):
    r = run(word, "--offline", server=False)
    assert (r.rc, r.out, r.err) == (2, HELP, f"Unknown command: {word}\n\n"), r


def test_version_works_with_broken_settings_and_no_home(run, tmp_path):
    run.write_config("this line is not a setting\n")
    before = sorted(p.name for p in tmp_path.rglob("*"))
    for env in (run.env, {"PATH": os.environ["PATH"]}):
        for args in (["version"], ["--version"], ["launch", "--version", "--bogus"]):
            r = run(*args, env=env, server=False)
            assert (r.rc, r.out, r.err) == (0, "quillstep-launcher 0.1.0 (linux-x64)\n", ""), r
        assert run("help", env=env).rc == 0
    assert sorted(p.name for p in tmp_path.rglob("*")) == before


def test_broken_settings_file_fails_every_other_command(run):
    run.write_config("# settings\nchannel = dev\n\nnot a setting\n")
    r = run("status", "--offline")
    assert (r.rc, r.out) == (1, ""), r
    assert r.err == f"invalid line 4 in {run.config_file}\n"
    r = run("bogus-command")
    assert r.rc == 1 and r.err == f"invalid line 4 in {run.config_file}\n", r


def test_without_home_a_data_dir_is_required(run, tmp_path):
    env = {"PATH": os.environ["PATH"]}
    r = run("status", "--offline", env=env, cwd=tmp_path)
    assert (r.rc, r.err) == (1, "could not determine a data directory; pass --data-dir\n"), r
    r = run("status", "--offline", "--data-dir", tmp_path / "d", env=env, cwd=tmp_path)
    assert r.rc == 0, r
    assert f"data dir:     {tmp_path / 'd'}\n" in r.out
    assert (tmp_path / "d" / "cache").is_dir()


def test_settings_precedence_option_then_file_then_default(run, tmp_path):
    def status(*args):
        r = run("status", "--offline", *args)
        assert r.rc == 0, r
        return r.out.splitlines()

    default = status()
    assert default[0] == "launcher:     0.1.0 (linux-x64, channel: stable)"
    assert default[1] == "server:       https://downloads.quillstep.net/dist"
    assert default[2] == f"data dir:     {run.data_dir}"

    run.write_config("server_url = http://file.example//  \nchannel =  Dev \n"
                     f"data_dir = {tmp_path / 'from-file'}\n")
    lines = status()
    assert lines[:3] == ["launcher:     0.1.0 (linux-x64, channel: dev)",
                         "server:       http://file.example/dist",
                         f"data dir:     {tmp_path / 'from-file'}"]

    lines = status("--server", "http://opt.example", "--channel", "stable",
                   "--data-dir", tmp_path / "from-opt")
    assert lines[:3] == ["launcher:     0.1.0 (linux-x64, channel: stable)",
                         "server:       http://opt.example/dist",
                         f"data dir:     {tmp_path / 'from-opt'}"]

    assert status("--channel", "")[0].endswith("channel: dev)")

    other = tmp_path / "other.conf"
    other.write_text("channel = dev\n")
    lines = status("--config", other)
    assert lines[0].endswith("channel: dev)")
    assert lines[3] == f"config:       {run.config_file}"
    assert status("--config", tmp_path / "missing.conf")[0].endswith("channel: stable)")


@pytest.mark.parametrize("conf,args,message", [
    ("", ["--channel", "beta"], "invalid channel 'beta' (use stable or dev)"),
    ("server_url =\n", [], "server_url is not configured"),
    ("", ["--server", "//"], "server_url is not configured"),
])
def test_bad_settings_are_reported(run, conf, args, message):
    run.write_config(conf)
    r = run("status", "--offline", *args)
    assert (r.rc, r.out, r.err) == (1, "", message + "\n"), r
