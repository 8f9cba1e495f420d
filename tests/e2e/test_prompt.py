"""A player at a terminal: questions before downloading (only there), and the progress display."""

import contextlib
import os
import pty
import re
import shutil
import subprocess
import tty

from conftest import BIN, EM, game_zip, make_zip


def on_terminal(run, answers, *args, exe=BIN):
    """(exit code, output, errors) of a run whose input and output are one raw pseudo-terminal,
    with the answers typed ahead."""
    master, slave = pty.openpty()
    tty.setraw(slave)
    os.write(master, answers.encode())
    proc = subprocess.Popen([str(exe), "--server", run.server_url, *args], stdin=slave,
                            stdout=slave, stderr=subprocess.PIPE, env=run.env, cwd=run.tmp)
    os.close(slave)
    out = b""
    with contextlib.suppress(OSError):  # EIO: the launcher has ended and all it wrote is read
        while chunk := os.read(master, 4096):
            out += chunk
    os.close(master)
    return proc.wait(), out.decode(), proc.stderr.read().decode()


def ask(dist, component):
    build = dist.builds[component]["stable"][-1]
    size = [*build["files"].values()][0].get("size", 0)
    return f"{component} {build['version']}: download {size} B? [Y/n] "


def test_prompts_on_a_terminal_and_the_progress_of_an_accepted_download(run, published, tmp_path):
    exe = shutil.copy2(BIN, tmp_path / "quillstep")  # what an accepted self-update may replace
    launcher = make_zip({"quillstep-launcher": b"#!/bin/sh\n"})
    published.publish("launcher", "0.2.0", launcher)
    r = on_terminal(run, "n\nNo\nN\n", "update", "all", exe=exe)
    assert r == (0, ask(published, "engine") + "engine: skipped\n" + ask(published, "game")
                 + "game: skipped\nA new launcher version is available: 0.2.0 (current: 0.1.0)\n"
                 f"Download {len(launcher)} B? [Y/n] Launcher update skipped.\n"
                 "launcher: up to date (0.1.0)\n", ""), r
    assert run.state() == {} and list((run.data_dir / "engine").iterdir()) == []
    assert exe.read_bytes() == open(BIN, "rb").read()
    # Without a published size, and sent slowly enough that a line is drawn before the last.
    data = game_zip("0.2.0", {"games/quillstep/noise": os.urandom(16000)})
    del published.publish_game("0.2.0", data)["files"]["all"]["size"]
    published.republish("game")
    published.fault("/dist/files/game/quillstep-game-0.2.0.zip", {"rate": 8000})
    rc, out, err = on_terminal(run, "n\n\n", "launch", "--no-selfupdate", exe=exe)
    assert (rc, err) == (1, f"Nothing is installed yet {EM} run: quillstep update\n")
    bar = r"\rquillstep-game-0\.2\.0\.zip "
    asked = ask(published, "engine") + "engine: skipped\n" + ask(published, "game")
    assert re.fullmatch(re.escape(asked) + f"({bar}0 B \\.\\.\\.)?({bar} [ 1-9]\\d%  \\S+ \\S+ / "
                        f"(\\S+ KiB))+{bar}100%  \\3 / \\3\n", out), out
    assert run.state() == {"game_version": "0.2.0"}
    rc, out, _ = on_terminal(run, "n\nn\n", "update", "-y", exe=exe)
    assert rc == 0 and "?" not in out, out
    assert out.endswith(" B\nengine: installed 1.0.0\ngame: up to date (0.2.0)\n"), out


def test_a_launcher_update_accepted_on_a_terminal_replaces_the_executable(run, published,
                                                                          tmp_path):
    exe = shutil.copy2(BIN, tmp_path / "quillstep")
    launcher = make_zip({"quillstep-launcher": b"#!/bin/sh\necho new\n"})
    published.publish("launcher", "0.2.0", launcher)
    rc, out, err = on_terminal(run, "y\n", "selfupdate", exe=exe)
    assert (rc, err) == (0, ""), out
    assert out.startswith("A new launcher version is available: 0.2.0 (current: 0.1.0)\n"
                          f"Download {len(launcher)} B? [Y/n] "), out
    assert out.endswith(f"Launcher updated {EM} rerun the launcher now to use the new version.\n")
    assert subprocess.run([exe], capture_output=True).stdout == b"new\n"
