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


TRY = "\nTry: quillstep --help\n"


@pytest.mark.parametrize("args,rc,out,err", [
    (["help"], 0, HELP, ""), (["-h"], 0, HELP, ""), (["update", "--help"], 0, HELP, ""),
    (["--help", "--bogus"], 0, HELP, ""), (["status", "--server", "x", "-h"], 0, HELP, ""),
    ([], 2, HELP, ""), (["--", "--fullscreen"], 2, HELP, ""), (["", "status"], 2, HELP, ""),
    (["--bogus", "status"], 2, "", "unknown option: --bogus" + TRY),
    (["-"], 2, "", "unknown option: -" + TRY),
    (["--server=x", "status"], 2, "", "unknown option: --server=x" + TRY),
    (["-yf", "update"], 2, "", "unknown option: -yf" + TRY),
    (["status", "--channel"], 2, "", "missing value for --channel" + TRY),
])
def test_help_and_usage_errors_print_exact_text_and_create_nothing(run, args, rc, out, err):
    r = run(*args, server=False)
    assert (r.rc, r.out, r.err) == (rc, out, err), r
    assert run.created_anything() == []


def test_unknown_command_reports_word_and_help(run):
    r = run("Status", "--offline", server=False)
    assert (r.rc, r.out, r.err) == (2, HELP, "Unknown command: Status\n\n"), r


def test_version_works_with_broken_settings_and_no_home(run, tmp_path):
    run.write_config("this line is not a setting\n")
    before = sorted(tmp_path.rglob("*"))
    for env in (run.env, {"PATH": os.environ["PATH"]}):
        for args in (["version"], ["--version"], ["launch", "--version", "--bogus"]):
            r = run(*args, env=env, server=False)
            assert (r.rc, r.out, r.err) == (0, "quillstep-launcher 0.1.0 (linux-x64)\n", ""), r
    assert sorted(tmp_path.rglob("*")) == before
    r = run("status", "--offline", "--data-dir", tmp_path / "d", env={"PATH": os.environ["PATH"]})
    assert r.rc == 0 and (tmp_path / "d" / "cache").is_dir(), r  # no HOME but a data dir


BROKEN = "# settings\nchannel = dev\n\nnot a setting\n"


@pytest.mark.parametrize("conf,args,message", [
    (BROKEN, ["status"], "invalid line 4 in {}"),
    (BROKEN, ["bogus-command"], "invalid line 4 in {}"),
    ("", ["status", "--channel", "beta"], "invalid channel 'beta' (use stable or dev)"),
    ("server_url =\n", ["status"], "server_url is not configured"),
    ("", ["status", "--server", "//"], "server_url is not configured"),
    (None, ["status"], "could not determine a data directory; pass --data-dir"),  # no HOME
])
def test_bad_settings_fail_with_a_clear_message(run, conf, args, message):
    if conf is not None:
        run.write_config(conf)
    r = run(*args, "--offline", env=None if conf is not None else {"PATH": os.environ["PATH"]})
    assert (r.rc, r.out, r.err) == (1, "", message.format(run.config_file) + "\n"), r


def test_settings_precedence_option_then_file_then_default(run, tmp_path):
    def head(*args):
        r = run("status", "--offline", *args)
        assert r.rc == 0, r
        return r.out.splitlines()[:3]

    def expect(channel, server, data_dir):
        return [f"launcher:     0.1.0 (linux-x64, channel: {channel})",
                f"server:       {server}/dist", f"data dir:     {data_dir}"]

    assert head() == expect("stable", "https://downloads.quillstep.net", run.data_dir)
    run.write_config("server_url = http://file.example//  \nchannel =  Dev \n"
                     f"data_dir = {tmp_path / 'file'}\n")
    assert head() == expect("dev", "http://file.example", tmp_path / "file")
    assert head("--server", "http://opt.example", "--channel", "stable", "--data-dir",
                tmp_path / "opt") == expect("stable", "http://opt.example", tmp_path / "opt")
    assert head("--channel", "")[0].endswith("channel: dev)")
    (tmp_path / "other.conf").write_text("channel = stable\n")
    assert head("--config", tmp_path / "other.conf")[0].endswith("channel: stable)")
