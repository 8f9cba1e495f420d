"""The --run-unittests switch: the rest of the command line goes to the test runner."""

import re

import pytest

CASES = [
    "util string helpers",
    "util version comparison",
    "util file helpers",
    "util sha256",
    "config parsing",
    "manifest: game manifest",
    "manifest: engine manifest",
    "manifest: launcher manifest is single-entry per channel",
    "manifest: empty channels are ignored",
    "manifest: malformed input rejected",
    "manifest: artifact sha256 is case-insensitive",
    "archive: extract stored entry",
    "archive: extract mixed entries with dirs and modes",
    "archive: rejects hostile or corrupt archives",
    "paths: platform key",
    "paths: derived layout",
    "paths: engine binary discovery",
    "paths: executable path",
    "paths: ensure_dirs",
]


@pytest.fixture
def selftest(run, tmp_path):
    """Runs the executable with a private TMPDIR, where the self-tests make their directories."""
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    env = dict(run.env, TMPDIR=str(scratch))

    def call(*args):
        return run(*args, server=False, env=env)
    call.scratch = scratch
    return call


def listed(result):
    """Test-case names of --list-tests output, in order."""
    return [line[2:] for line in result.out.splitlines() if re.match(r"  \S", line)]


def launcher_ran(run):
    return [p for p in (run.data_home, run.config_home) if p.exists()] + list(run.home.iterdir())


@pytest.mark.parametrize("args", [
    ["--run-unittests", "--list-tests"],
    ["--list-tests", "--run-unittests"],
    ["--run-unittests", "--run-unittests", "--list-tests", "--run-unittests"],
])
def test_switch_anywhere_lists_every_case_in_registration_order(selftest, run, args):
    result = selftest(*args)
    assert result.rc == 0, result
    assert listed(result) == CASES, result
    assert not launcher_ran(run)


@pytest.mark.parametrize("args, runner_says", [
    (["update", "--run-unittests", "--list-tests"], "0 matching test cases"),
    (["launch", "--", "--run-unittests"], "Unrecognised token: --"),
])
def test_launcher_words_go_to_the_runner_untouched(selftest, run, args, runner_says):
    result = selftest(*args)
    assert runner_says in result.out + result.err, result
    assert not launcher_ran(run), result


def test_case_name_runs_only_that_case(selftest):
    result = selftest("--run-unittests", "util version comparison", "-r", "compact")
    assert result.rc == 0, result
    assert re.search(r"\(7 assertions in 1 test case\)", result.out), result


def test_case_name_with_blanks_reaches_the_runner_as_one_argument(selftest):
    result = selftest("--list-tests", "manifest: launcher manifest is single-entry per channel",
                      "--run-unittests")
    assert result.rc == 0, result
    assert listed(result) == ["manifest: launcher manifest is single-entry per channel"], result


def test_full_run_passes_over_stale_scratch_directories_and_removes_them(selftest, run):
    for tag in ("util", "sha256", "config", "archive", "archive-multi", "archive-bad", "paths",
                "paths-ensure"):
        stale = selftest.scratch / ("quillstep-launcher-test-" + tag) / "evil.txt" / "x"
        stale.parent.mkdir(parents=True)
        stale.write_text("left by an earlier run")
    result = selftest("--run-unittests")
    assert result.rc == 0, result
    assert "in 19 test cases" in result.out, result
    assert list(selftest.scratch.iterdir()) == []
    assert not launcher_ran(run)


def test_rejected_runner_option_fails_and_runs_no_test(selftest, run):
    result = selftest("--run-unittests", "--no-such-runner-option")
    assert result.rc != 0, result
    assert "test case" not in result.out and "assertion" not in result.out, result
    assert not launcher_ran(run)
