"""Questions before downloading: asked only when standard input is a terminal."""

import os
import pty
import termios

import pytest

from conftest import EM, PLATFORM


def prompt(dist, component, version):
    build = dist.builds[component]["stable"][-1]
    size = build["files"]["all" if component == "game" else PLATFORM]["size"]
    assert size < 1024  # shown as "<n> B"
    return f"{component} {version}: download {size} B? [Y/n] "


@pytest.fixture
def terminal():
    """A pseudo-terminal for standard input with the answers already typed."""
    master, slave = pty.openpty()
    attrs = termios.tcgetattr(slave)
    attrs[3] &= ~termios.ECHO
    termios.tcsetattr(slave, termios.TCSANOW, attrs)

    def type_answers(text):
        os.write(master, text.encode())
        return slave

    yield type_answers
    os.close(master)
    os.close(slave)


def test_declined_prompts_install_nothing(run, published, terminal):
    r = run("update", stdin=terminal("n\nNo\n"))
    assert r.rc == 0, r
    assert r.out == (prompt(published, "engine", "1.0.0") + "engine: skipped\n"
                     + prompt(published, "game", "0.1.0") + "game: skipped\n"), r
    assert run.state() == {}
    assert list((run.data_dir / "engine").iterdir()) == []


def test_an_over_long_answer_is_one_answer(run, published, terminal):
    # The first answer accepts; its tail must not be read as the answer to the second question.
    r = run("update", stdin=terminal("y" * 100 + "\nn\n"))
    assert r.rc == 0, r
    assert r.out == (prompt(published, "engine", "1.0.0") + "engine: installed 1.0.0\n"
                     + prompt(published, "game", "0.1.0") + "game: skipped\n"), r
    assert run.state() == {"engine_version": "1.0.0"}


def test_yes_never_asks_even_on_a_terminal(run, published, terminal):
    r = run("update", "--yes", stdin=terminal("n\nn\n"))
    assert (r.rc, r.out) == (0, "engine: installed 1.0.0\ngame: installed 0.1.0\n"), r


def test_declined_engine_on_launch(run, published, terminal):
    r = run("launch", stdin=terminal("n\n\n"))
    assert r.rc == 1, r
    assert r.out == (prompt(published, "engine", "1.0.0") + "engine: skipped\n"
                     + prompt(published, "game", "0.1.0")), r
    assert r.err == f"Nothing is installed yet {EM} run: quillstep update\n"
    assert run.state() == {"game_version": "0.1.0"}
