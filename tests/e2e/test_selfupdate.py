"""The launcher replacing its own executable; always run on a copy in a scratch directory."""

import shutil
import stat
import subprocess

import pytest

from conftest import BIN, EM, make_zip

NEW_LAUNCHER = b"#!/bin/sh\necho 'launcher 0.2.0 here'\n"


@pytest.fixture
def copy(tmp_path):
    (tmp_path / "bin").mkdir()
    shutil.copy2(BIN, tmp_path / "bin" / "quillstep")
    return tmp_path / "bin" / "quillstep"


def test_selfupdate_replaces_the_executable(run, published, copy):
    published.publish("launcher", "0.2.0", make_zip({"quillstep-launcher": (NEW_LAUNCHER, 0o600),
                                                     "README": b"ignored\n"}))
    r = run("selfupdate", "--yes", exe=copy)
    assert (r.rc, r.err) == (0, ""), r
    assert r.out == f"Launcher updated {EM} rerun the launcher now to use the new version.\n"
    assert stat.S_IMODE(copy.stat().st_mode) == 0o755
    assert sorted(p.name for p in copy.parent.iterdir()) == ["quillstep"]
    assert list((run.data_dir / "cache").iterdir()) == []
    assert subprocess.run([copy], capture_output=True).stdout == b"launcher 0.2.0 here\n"


def test_launch_updates_itself_and_the_engine_quietly_then_starts_the_game(run, installed, copy):
    installed.publish("launcher", "0.2.0", make_zip({"quillstep-launcher": (NEW_LAUNCHER, 0o755)}))
    installed.publish_engine("1.1.0")
    r = run("launch", exe=copy)
    assert r.rc == 0 and "installed" not in r.out, r
    assert r.out.startswith("Launcher updated; next start will use the new version.\nLaunching "
                            f"{run.data_dir}/engine/1.1.0/bin/quillstep ..."), r
    assert copy.read_bytes() == NEW_LAUNCHER


@pytest.mark.parametrize("version,files,rc,message", [
    ("0.1.0", None, 0, ""), ("0.0.9", None, 0, ""),
    ("0.0.9\\x", None, 0, ""),  # older: ignored even when its version could not name a file
    ("0.2.0", {"bin/quillstep-launcher": NEW_LAUNCHER}, 1,
     f"launcher archive does not contain quillstep-launcher {EM} broken build\n")])
def test_same_older_or_broken_launcher_leaves_the_executable_alone(run, published, copy,
                                                                   version, files, rc, message):
    original = copy.read_bytes()
    published.publish("launcher", version, make_zip(files or {"quillstep-launcher": NEW_LAUNCHER}))
    r = run("selfupdate", exe=copy)
    assert (r.rc, r.err) == (rc, message), r
    assert r.out == ("" if rc else "Launcher is up to date (0.1.0).\n"), r
    assert copy.read_bytes() == original
    assert sorted(p.name for p in copy.parent.iterdir()) == ["quillstep"]
    assert list((run.data_dir / "cache").iterdir()) == []
    assert any("/files/launcher/" in p for p in published.requests()) == bool(rc)
