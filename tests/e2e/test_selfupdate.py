"""Swapping in the launcher's own executable (a copy in a scratch directory), engine and game."""

import os
import shutil
import stat
import subprocess
import tempfile

import pytest

from conftest import BIN, EM, NOBODY, Runner, assert_installed, make_zip

NEW_LAUNCHER = b"#!/bin/sh\necho 'launcher 0.2.0 here'\n"
UPDATED = f"Launcher updated {EM} rerun the launcher now to use the new version.\n"
STAGED = "xdg-data/quillstep/cache/staging-launcher/quillstep-launcher"


@pytest.fixture
def copy(tmp_path):
    (tmp_path / "bin").mkdir()
    return shutil.copy2(BIN, tmp_path / "bin" / "quillstep")


def refusing(run, calls):
    """strace options failing the (path under the test directory, inject) pairs' calls."""
    return calls and [o for path, inj in calls for o in ("-P", run.tmp / path, "-einject=" + inj)]


@pytest.mark.parametrize("args,version,plant,refuse,out", [
    (["selfupdate"], "0.2.0", None, None, UPDATED),
    (["selfupdate"], "0.2.0", None, [("bin/quillstep", "link:error=EPERM")], UPDATED),  # copied
    (["selfupdate"], "0.2.0", None, [(STAGED, "rename:error=EXDEV")], UPDATED),  # ".new" copied
    (["selfupdate"], "0.2.0", "quillstep.old", None, UPDATED),  # a directory left there goes
    (["selfupdate"], "0.2.0#1 ", None, None, UPDATED),  # never written to state.cfg
    (["update", "launcher", "launcher"], "0.2.0", None, None,  # once: the file is not there now
     f"launcher: updated {EM} rerun the launcher to use the new version\n" * 2),
    (["launch"], "0.2.0", None, None,
     "Launcher updated; next start will use the new version.\nLaunching ")])
def test_selfupdate_replaces_the_executable_once(run, published, copy, args, version, plant,
                                                 refuse, out):
    published.publish("launcher", "0.2.0", make_zip({"quillstep-launcher": (NEW_LAUNCHER, 0o600),
                                                     "README": b"ignored\n"}))["version"] = version
    published.republish("launcher")
    if plant:
        (copy.parent / plant).mkdir()
        (copy.parent / plant / "file").write_text("x")
    r = run(*args, "--yes", exe=copy, strace=refusing(run, refuse))
    assert (r.rc, r.err) == (0, "") and r.out.startswith(out), r
    assert stat.S_IMODE(copy.stat().st_mode) == 0o755
    assert sorted(p.name for p in copy.parent.iterdir()) == ["quillstep"]
    assert list((run.data_dir / "cache").iterdir()) == []
    assert sum("/files/launcher/" in p for p in published.requests()) == 1
    assert subprocess.run([copy], capture_output=True).stdout == b"launcher 0.2.0 here\n"


def test_a_player_gets_an_executable_launcher_whatever_its_mode_in_the_archive(published, run):
    root = tempfile.mkdtemp(prefix="quillstep-player-", dir="/tmp" if os.geteuid() == 0 else None)
    try:
        player = Runner(root)
        player.server_url = run.server_url
        exe = shutil.copy2(BIN, player.tmp / "quillstep")
        if os.geteuid() == 0:  # what the player runs and writes is the player's
            for path in [player.tmp, *player.tmp.rglob("*")]:
                os.chown(path, NOBODY, NOBODY)
        # Not readable by its owner (a mode of 0 would stand for none given).
        published.publish("launcher", "0.2.0", make_zip({"quillstep-launcher": (NEW_LAUNCHER,
                                                                                0o311)}))
        r = player("selfupdate", "--yes", exe=exe, as_player=True)
        assert (r.rc, r.err) == (0, "") and r.out == UPDATED, r
        assert stat.S_IMODE(os.stat(exe).st_mode) == 0o755
        assert subprocess.run([exe], capture_output=True).stdout == b"launcher 0.2.0 here\n"
    finally:
        shutil.rmtree(root)


ACCESS = [("bin", "access:error=EACCES")]


@pytest.mark.parametrize("version,files,plant,refuse,rc,message", [
    ("0.1.0", None, None, None, 0, ""), ("0.0.9", None, None, None, 0, ""),
    ("0.0.9\\x", None, None, None, 0, ""),  # older: ignored even when its version names no file
    ("0.2.0", {"bin/quillstep-launcher": NEW_LAUNCHER}, None, None, 1,
     f"launcher archive does not contain quillstep-launcher {EM} broken build\n"),
    ("0.2.0", None, None, ACCESS, 1,  # checked before downloading
     "could not move the running launcher aside: Permission denied\n"),
    ("0.2.0", None, None, [("bin/quillstep", "link:error=EPERM"),  # a copy then, cut short
                           ("bin/quillstep.old", "write:error=ENOSPC:when=2")], 1,
     "could not move the running launcher aside: copy failed (No space left on device): "),
    ("0.2.0", None, "bin/quillstep.new", None, 1, "copy failed (Is a directory): "),
    ("0.2.0", None, "xdg-data/quillstep/cache/quillstep-launcher-0.2.0.zip", None, 1,
     "copy failed (Is a directory): ")])
def test_same_older_or_broken_launcher_leaves_the_executable_alone(run, published, copy, version,
                                                                   files, plant, refuse, rc,
                                                                   message):
    original = copy.read_bytes()
    published.publish("launcher", version, make_zip(files or {"quillstep-launcher": NEW_LAUNCHER}))
    if plant:  # a directory where a file belongs: kept beside the launcher, gone from the cache
        (run.tmp / plant).mkdir(parents=True)
    r = run("selfupdate", exe=copy, strace=refusing(run, refuse))
    assert r.rc == rc and r.err.startswith(message) and r.err.count("\n") == rc, r
    assert r.out == ("" if rc else "Launcher is up to date (0.1.0).\n"), r
    assert copy.read_bytes() == original
    left = {p.relative_to(run.tmp).as_posix() for d in (copy.parent, run.data_dir / "cache")
            for p in d.iterdir()}
    assert left == {"bin/quillstep", *[plant] * str(plant).startswith("bin/")}
    assert any("/files/launcher/" in p for p in published.requests()) == (rc == 1 and refuse != ACCESS)


GAME, REFUSED = "cache/staging-game/games/quillstep", ["rename:error=EXDEV", "openat:error=EACCES"]


@pytest.mark.parametrize("component,path,refused,message,game", [
    ("game", GAME, REFUSED[:1], "", "1.1.0"),  # copied in
    ("game", GAME, REFUSED, "game: could not move ", "0.1.0"),
    ("engine", "cache/staging-engine", REFUSED, "engine: could not move ", "0.1.0"),
    ("game", "state.cfg.tmp", REFUSED[1:], "game: could not ", "1.1.0")])  # not recorded
def test_a_build_not_moved_in_is_copied_or_the_old_one_kept_and_one_not_recorded_redone(
        run, installed, component, path, refused, message, game):
    getattr(installed, "publish_" + component)("1.1.0")
    r = run("update", strace=["-P", run.data_dir / path, *("-einject=" + i for i in refused)])
    assert r.rc == bool(message) and r.err.startswith(message) and bool(r.err) == bool(message), r
    if path == "state.cfg.tmp":  # the next run records it
        assert run("update").out == "engine: up to date (1.0.0)\ngame: installed 1.1.0\n"
    assert_installed(run, "1.0.0", game, allow=["staging-" + component] * ("move" in message))
