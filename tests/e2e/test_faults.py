"""Server and disk faults, and SIGKILL at every step of `update` and `selfupdate`: what was
installed keeps working and a plain rerun finishes the job."""

import io
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import zipfile

import pytest

from conftest import BIN, PLATFORM, assert_installed, engine_zip, game_zip, make_zip

ENGINE_ZIP, GAME_ZIP = f"quillstep-engine-1.1.0-{PLATFORM}.zip", "quillstep-game-0.2.0.zip"
ARTIFACT = {"engine": "/dist/files/engine/" + ENGINE_ZIP, "game": "/dist/files/game/" + GAME_ZIP}


def noise(size):
    return random.Random(size).randbytes(size)


def publish_new(dist, size):
    dist.publish_engine("1.1.0", data=engine_zip("1.1.0", {"share/noise": noise(size)}))
    dist.publish_game("0.2.0", data=game_zip("0.2.0", {"games/quillstep/noise": noise(size)}))


def inflation_bomb(megabytes):
    """An engine with that many MiB of zeros in a quarter MiB per 256, never whole in memory."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("bin/quillstep", b"#!/bin/sh\n")
        with z.open("share/zeros", "w") as f:
            for _ in range(megabytes):
                f.write(bytes(1 << 20))
    return buf.getvalue()


@pytest.mark.parametrize("component", ["engine", "game"])
@pytest.mark.parametrize("fault,inject,message", [
    # How a download fails is the unit tests' business; here the installed build stays.
    ({"truncate": 3000}, [], "failed: transfer closed with "),  # fewer bytes, connection closed
    ({}, ["-einject=pread64:error=EIO:when=3+"], "archive: "),  # reads from the third on fail
])
def test_server_or_read_fault_keeps_the_installed_build(run, installed, component, fault, inject,
                                                        message):
    publish_new(installed, 9000)
    installed.fault(ARTIFACT[component], fault)
    archive = run.data_dir / "cache" / os.path.basename(ARTIFACT[component])
    r = run("update", strace=inject and ["-P", archive, *inject])
    assert r.rc == 1 and r.err.startswith(component + ": ") and message in r.err, r
    assert r.err.count("\n") == 1, r
    assert_installed(run, *{"engine": ("1.0.0", "0.2.0"), "game": ("1.1.0", "0.1.0")}[component])


@pytest.fixture
def small_disk(run):
    run.data_home.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", run.data_home]).returncode:
        pytest.skip("cannot mount a small tmpfs (needs root)")
    yield run.data_home
    subprocess.run(["umount", run.data_home], check=True)


@pytest.mark.parametrize("phase,pad,message", [
    ("download", 5 << 20, "engine: GET "),
    ("extract", 256, "engine: archive: write failed (disk full?)"),
    ("state", 1 << 20, "engine: error writing: "),
])
def test_full_disk_keeps_the_installed_build(run, published, small_disk, phase, pad, message):
    assert run("update").rc == 0
    if phase == "extract":
        published.publish_engine("1.1.0", data=inflation_bomb(pad))
    else:
        pad = noise(pad)
        published.publish_engine("1.1.0", data=(data := engine_zip("1.1.0", {"share/noise": pad})))
    if phase == "state":  # leave exactly the room for the archive and the unpacked engine
        st = os.statvfs(small_disk)
        need = -(-len(data) // 4096) + len(pad) // 4096 + 2  # + bin/quillstep and README.txt
        (small_disk / "filler").write_bytes(bytes((st.f_bavail - need) * 4096))
    r = run("update")
    assert r.rc == 1 and r.err.startswith(message) and r.err.count("\n") == 1, r
    assert phase != "download" or r.err.endswith(" (No space left on device)\n"), r
    assert r.out == "game: up to date (0.1.0)\n", r
    assert resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss < 160 << 10
    # Recording the version is the last step: its failure keeps the new tree and the archive.
    assert_installed(run, "1.0.0", "0.1.0",
                     allow={ENGINE_ZIP, "state.cfg.tmp"} if phase == "state" else ())
    if phase == "state":  # with room again, what was left behind does not get in the way
        (small_disk / "filler").unlink()
        assert run("update").rc == 0
        assert_installed(run, "1.1.0", "0.1.0")


# Every file-system change goes through these calls; a kill at the entry of one of them stops the
# launcher between two steps. Renames and links are where a step commits.
KILL_CALLS = "rename,renameat2,link,linkat,mkdir,unlink,unlinkat,rmdir,chmod,fchmodat"
COMMITS = ("rename", "renameat2", "link", "linkat")


def kill_points(run, exe, args, count, downloads):
    """strace options that kill the launcher at about count calls of a whole run: every commit,
    others spread over the run (but the directory creation at the start) and the second write of
    each download, a megabyte into it."""
    trace = run.tmp / "trace.txt"
    assert run(*args, exe=exe, strace=["-o", trace, "-e", "trace=" + KILL_CALLS]).rc == 0
    calls = re.findall(r"^\d+ +(\w+)\(", trace.read_text(), re.M)
    points = [(c, calls[:i + 1].count(c)) for i, c in enumerate(calls) if c != "mkdir"]
    commits = [p for p in points if p[0] in COMMITS]
    rest = [p for p in points if p[0] not in COMMITS]
    extra = max(1, count - len(commits))
    return [["-e", "trace=" + c, "-e", f"inject={c}:signal=KILL:when={n}"]
            for c, n in commits + rest[::max(1, -(-len(rest) // extra))][:extra]] + \
        [["-P", run.data_dir / "cache" / (d + ".part"), "-e", "inject=write:signal=KILL:when=2"]
         for d in downloads]


@pytest.mark.parametrize("command,count,done", [
    ("update", 18, ("1.1.0", "0.2.0")), ("selfupdate", 11, ("1.0.0", "0.1.0"))])
def test_killed_anywhere_then_a_rerun_finishes(run, installed, tmp_path, command, count, done):
    """After every kill state.cfg is whole, the recorded engine starts and the executable is
    whole at its path; the same command run again reaches the finished state."""
    exe = tmp_path / "bin" / "quillstep"
    exe.parent.mkdir()
    shutil.copy2(BIN, exe)
    new = (old := exe.read_bytes()) + b"\n# launcher 0.2.0\n"
    # Noise the launcher discards keeps the archive past a megabyte however small the build is.
    installed.publish("launcher", "0.2.0", make_zip({"quillstep-launcher": (new, 0o700),
                                                     "noise": noise(2 << 20)}))
    publish_new(installed, 2 << 20)
    keep, pristine = [run.data_dir, exe.parent], tmp_path / "pristine"
    for d in keep:
        shutil.copytree(d, pristine / d.name, symlinks=True)
    args = [command, "--yes"]
    downloads = [ENGINE_ZIP, GAME_ZIP] if command == "update" else ["quillstep-launcher-0.2.0.zip"]
    for where in kill_points(run, exe, args, count, downloads):
        for d in keep:
            shutil.rmtree(d)
            shutil.copytree(pristine / d.name, d, symlinks=True)
        assert run(*args, exe=exe, strace=where).rc == -signal.SIGKILL, where
        assert exe.read_bytes() in (old, new) and os.access(exe, os.X_OK), where
        state = run.state()
        r = run("launch", "--no-update", "--no-selfupdate", exe=exe)
        assert r.rc == 0 and f"engine {state['engine_version']} running" in r.out, (where, r)
        assert run(*args, exe=exe).rc == 0, where
        # A kill after the record but before the clean-up leaves the archive for good.
        assert_installed(run, *done, allow={ENGINE_ZIP, GAME_ZIP})
        if command == "selfupdate":
            assert exe.read_bytes() == new and os.listdir(exe.parent) == ["quillstep"]
