"""The launcher replacing its own executable; always run on a copy in a scratch directory."""

import shutil
import stat
import subprocess

import pytest

from conftest import BIN, EM, make_zip

NEW_LAUNCHER = b"#!/bin/sh\necho 'launcher 0.2.0 here'\n"


@pytest.fixture
def copy(tmp_path):
    scratch = tmp_path / "bin"
    scratch.mkdir()
    exe = scratch / "quillstep"
    shutil.copy2(BIN, exe)
    return exe


def cache(run):
    return sorted(p.name for p in (run.data_dir / "cache").iterdir())


def test_selfupdate_replaces_the_executable(run, published, copy):
    published.publish_launcher("0.2.0", make_zip({"quillstep-launcher": (NEW_LAUNCHER, 0o600),
                                                  "README": b"ignored\n"}))
    r = run("selfupdate", "--yes", exe=copy)
    assert (r.rc, r.err) == (0, ""), r
    assert r.out == f"Launcher updated {EM} rerun the launcher now to use the new version.\n"
    assert copy.read_bytes() == NEW_LAUNCHER
    assert stat.S_IMODE(copy.stat().st_mode) == 0o755
    assert sorted(p.name for p in copy.parent.iterdir()) == ["quillstep"]
    assert cache(run) == []
    assert subprocess.run([copy], capture_output=True).stdout == b"launcher 0.2.0 here\n"


def test_launch_self_updates_then_starts_the_game(run, installed, copy):
    installed.publish_launcher("0.2.0", make_zip({"quillstep-launcher": (NEW_LAUNCHER, 0o755)}))
    r = run("launch", exe=copy)
    assert r.rc == 0, r
    assert r.out.startswith("Launcher updated; next start will use the new version.\nLaunching ")
    assert copy.read_bytes() == NEW_LAUNCHER


def test_broken_launcher_archive_leaves_the_executable_alone(run, published, copy):
    original = copy.read_bytes()
    published.publish_launcher("0.2.0", make_zip({"bin/quillstep-launcher": (NEW_LAUNCHER, 0o755)}))
    r = run("update", "launcher", exe=copy)
    assert r.rc == 1, r
    assert r.err == f"launcher: launcher archive does not contain quillstep-launcher {EM} broken build\n"
    assert copy.read_bytes() == original
    assert sorted(p.name for p in copy.parent.iterdir()) == ["quillstep"]
    assert cache(run) == []


def test_up_to_date_or_older_launcher_is_left_alone(run, published, copy, request_log):
    original = copy.read_bytes()
    r = run("selfupdate", exe=copy)
    assert (r.rc, r.out) == (0, "Launcher is up to date (0.1.0).\n"), r
    # An older build is ignored even when its version could not name a file.
    for older in ("0.0.9", "0.0.9\\x"):
        published.publish_launcher(older, make_zip({"quillstep-launcher": NEW_LAUNCHER}))
        r = run("selfupdate", exe=copy)
        assert (r.rc, r.out) == (0, "Launcher is up to date (0.1.0).\n"), r
    assert copy.read_bytes() == original
    assert not any("/files/launcher/" in p for p in request_log())
