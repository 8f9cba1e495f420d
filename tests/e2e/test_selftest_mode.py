"""The --run-unittests switch: the rest of the command line goes to the test runner."""

import os
import re
import subprocess

import pytest

ALL = ("util string helpers", "paths: ensure_dirs", 19)  # first and last registered, count
LAUNCHER = "manifest: launcher manifest is single-entry per channel"
TAGS = ("util", "sha256", "config", "archive", "archive-multi", "archive-bad", "paths",
        "paths-ensure")


@pytest.fixture
def selftest(run, tmp_path):
    """Runs the executable with a private TMPDIR, where the self-tests make their directories,
    and checks that the launcher itself did not run."""
    scratch = tmp_path / "scratch"
    scratch.mkdir()

    def call(*args):
        result = run(*args, server=False, env=dict(run.env, TMPDIR=str(scratch)))
        assert run.created_anything() == [], result
        return result
    call.scratch = scratch
    return call


@pytest.mark.parametrize("args,expected", [
    (["--run-unittests", "--list-tests"], ALL),
    (["--run-unittests", "--run-unittests", "--list-tests", "--run-unittests"], ALL),
    (["--list-tests", LAUNCHER, "--run-unittests"], (LAUNCHER, LAUNCHER, 1)),  # blanks and all
])
def test_switch_anywhere_hands_the_rest_to_the_runner(selftest, args, expected):
    result = selftest(*args)
    cases = [line[2:] for line in result.out.splitlines() if re.match(r"  \S", line)]
    assert (result.rc, (cases[0], cases[-1], len(cases))) == (0, expected), result


@pytest.mark.parametrize("args, runner_says", [
    (["update", "--run-unittests", "--list-tests"], "0 matching test cases"),
    (["launch", "--", "--run-unittests"], "Unrecognised token: --"),
    (["--run-unittests", "--no-such-runner-option"], "--no-such-runner-option"),
])
def test_launcher_words_go_to_the_runner_untouched(selftest, args, runner_says):
    result = selftest(*args)
    assert runner_says in result.out + result.err, result
    assert "assertion" not in result.out, result


def test_full_run_passes_over_stale_scratch_directories_and_removes_them(selftest):
    for tag in TAGS:
        stale = selftest.scratch / ("quillstep-launcher-test-" + tag) / "evil.txt" / "x"
        stale.parent.mkdir(parents=True)
        stale.write_text("left by an earlier run")
    result = selftest("--run-unittests")
    assert result.rc == 0 and f"in {ALL[2]} test cases" in result.out, result
    assert list(selftest.scratch.iterdir()) == []


def test_a_link_planted_at_a_scratch_name_fails_the_run_and_is_not_followed(selftest, tmp_path):
    target = tmp_path / "target"
    target.mkdir()
    scratch = selftest.scratch
    (scratch / "quillstep-launcher-test-util").symlink_to(target)
    # As another user's link in a shared temporary directory, it cannot be removed.
    scratch.chmod(0o555)
    if os.geteuid() == 0 and subprocess.run(["mount", "--bind", "-o", "ro", scratch, scratch],
                                            capture_output=True).returncode != 0:
        pytest.skip("cannot make a read-only bind mount as root")
    try:
        result = selftest("--run-unittests", "util file helpers")
    finally:
        if os.geteuid() == 0:
            subprocess.run(["umount", scratch], check=True)
        scratch.chmod(0o755)
    assert result.rc != 0 and "scratch directory is missing, a link or another user's: " in result.out, result
    assert list(target.iterdir()) == [] and target.stat().st_mode & 0o777 == 0o755
