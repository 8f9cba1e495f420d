"""Questions before downloading: asked only when standard input is a terminal."""

import os
import pty

import pytest

from conftest import EM, PLATFORM


def prompt(dist, component, version):
    size = dist.builds[component]["stable"][-1]["files"]["all" if component == "game"
                                                          else PLATFORM]["size"]
    assert size < 1024  # shown as "<n> B"
    return f"{component} {version}: download {size} B? [Y/n] "


@pytest.fixture
def terminal():
    """A pseudo-terminal for standard input with the answers already typed."""
    master, slave = pty.openpty()

    def type_answers(text):
        os.write(master, text.encode())
        return slave

    yield type_answers
    os.close(master)
    os.close(slave)


def test_declined_prompts_install_nothing_and_yes_never_asks(run, published, terminal):
    r = run("update", stdin=terminal("n\nNo\n"))
    assert r.rc == 0, r
    assert r.out == (prompt(published, "engine", "1.0.0") + "engine: skipped\n"
                     + prompt(published, "game", "0.1.0") + "game: skipped\n"), r
    assert run.state() == {} and list((run.data_dir / "engine").iterdir()) == []
    r = run("launch", stdin=terminal("n\n\n"))  # the game is accepted, the engine not
    assert r.rc == 1, r
    assert r.out == (prompt(published, "engine", "1.0.0") + "engine: skipped\n"
                     + prompt(published, "game", "0.1.0")), r
    assert r.err == f"Nothing is installed yet {EM} run: quillstep update\n"
    assert run.state() == {"game_version": "0.1.0"}
    r = run("update", "--yes", stdin=terminal("n\nn\n"))
    assert (r.rc, r.out) == (0, "engine: installed 1.0.0\ngame: up to date (0.1.0)\n"), r
