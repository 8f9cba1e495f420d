"""The --run-unittests switch: the rest of the command line goes to the test runner, and the
self-tests' fixed scratch names under TMPDIR are safe to reuse."""

import os
import re
import subprocess

import pytest

ALL = r"cases:\n  util string helpers\n(  .*\n){17}  paths: ensure_dirs\n19 test cases\n"
LAUNCHER = "manifest: launcher manifest is single-entry per channel"


@pytest.fixture
def selftest(run, tmp_path):
    """Runs the executable with a private TMPDIR, where the self-tests make their directories,
    and checks that the launcher itself did not run."""
    scratch = tmp_path / "scratch"
    scratch.mkdir()

    def call(*args):
        result = run(*args, server=False, env=dict(run.env, TMPDIR=str(scratch)))
        assert not any(run.tmp.glob("xdg-*")) and not any(run.home.iterdir()), result
        return result
    call.scratch = scratch
    return call


@pytest.mark.parametrize("args,rc,says", [
    (["--run-unittests", "--list-tests"], 0, ALL),
    (["--run-unittests", "--run-unittests", "--list-tests", "--run-unittests"], 0, ALL),
    (["--list-tests", LAUNCHER, "--run-unittests"], 0, f"  {LAUNCHER}\n1 matching test case\n"),
    (["update", "--run-unittests", "--list-tests"], 0, "cases:\n0 matching test cases\n"),
    (["launch", "--", "--run-unittests"], 1, "Unrecognised token: --\n"),
    (["--run-unittests", "--no-such-runner-option"], 1, "token: --no-such-runner-option\n"),
])
def test_switch_anywhere_hands_the_rest_to_the_runner_untouched(selftest, args, rc, says):
    r = selftest(*args)
    assert r.rc == rc and re.search(says, r.out + r.err) and "assertion" not in r.out, r


def test_full_run_passes_over_stale_scratch_directories_and_removes_them(selftest):
    for tag in ("util", "sha256", "config", "archive", "archive-multi", "archive-bad", "paths",
                "paths-ensure"):
        stale = selftest.scratch / ("quillstep-launcher-test-" + tag) / "evil.txt" / "x"
        stale.parent.mkdir(parents=True)
        stale.write_text("left by an earlier run")
    r = selftest("--run-unittests")
    assert r.rc == 0 and "in 19 test cases" in r.out and not any(selftest.scratch.iterdir()), r


def test_a_link_planted_at_a_scratch_name_fails_the_run_and_is_not_followed(selftest, tmp_path):
    scratch, target = selftest.scratch, tmp_path / "target"
    target.mkdir()
    (scratch / "quillstep-launcher-test-util").symlink_to(target)
    scratch.chmod(0o555)  # as another user's link in a shared directory, it cannot be removed
    if os.geteuid() == 0 and subprocess.run(["mount", "--bind", "-o", "ro", scratch, scratch],
                                            capture_output=True).returncode != 0:
        pytest.skip("cannot make a read-only bind mount as root")
    try:
        r = selftest("--run-unittests", "util file helpers")
    finally:
        if os.geteuid() == 0:
            subprocess.run(["umount", scratch], check=True)
        scratch.chmod(0o755)
    assert r.rc != 0 and "scratch directory is missing, a link or another user's: " in r.out, r
    assert list(target.iterdir()) == [] and target.stat().st_mode & 0o777 == 0o755
