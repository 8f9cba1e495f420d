"""`launch` and `play`: updating first, starting the engine with the right arguments, and passing
its exit status on."""

import shutil

import pytest

from conftest import EM


@pytest.fixture
def record(run, tmp_path):
    path = tmp_path / "engine-args.txt"
    run.env["QS_RECORD"] = str(path)
    return path


def test_first_launch_installs_then_starts_the_engine_with_every_argument(run, published,
                                                                          record):
    r = run("launch", "--yes", "--", "--fullscreen", "", "-h", "--version", "a b")
    assert r.rc == 0, r
    engine = run.data_dir / "engine" / "1.0.0" / "bin" / "quillstep"
    assert r.out == f"Launching {engine} ...\nstand-in engine 1.0.0 running\n"
    assert r.err == ""
    assert record.read_text().split("\n")[:-1] == [
        str(engine), "--game-dir", str(run.data_dir / "games"),
        "--world-dir", str(run.data_dir / "worlds"), "--gameid", "quillstep",
        "--fullscreen", "", "-h", "--version", "a b"]


@pytest.mark.parametrize("command", ["launch", "play"])
@pytest.mark.parametrize("engine_env,code", [({"QS_EXIT": "3"}, 3), ({"QS_SIGNAL": "9"}, 137),
                                             ({}, 0)])
def test_engine_exit_status_becomes_the_exit_code(run, installed, command, engine_env, code):
    run.env.update(engine_env)
    r = run(command, "--no-update")
    assert r.rc == code, r
    tail = f"Game exited with code {code}\n" if code else "stand-in engine 1.0.0 running\n"
    assert r.out.endswith(tail), r


def test_no_update_contacts_no_server_for_components(run, installed, request_log):
    before = len(request_log())
    r = run("launch", "--no-update", "--no-selfupdate")
    assert r.rc == 0, r
    assert len(request_log()) == before
    run.write_config("update_on_launch = no\nself_update = false\n")
    assert run("play").rc == 0
    assert len(request_log()) == before


def test_launch_updates_quietly_and_reports_only_failures(run, installed):
    installed.publish_engine("1.1.0")
    r = run("launch")
    assert r.rc == 0, r
    assert r.out.startswith("Launching ") and "/engine/1.1.0/bin/quillstep" in r.out, r
    assert "installed" not in r.out


def test_unreachable_server_still_starts_the_installed_engine(run, installed, server):
    server.stop()
    r = run("launch")
    assert r.rc == 0, r
    lines = r.err.splitlines()
    assert lines[0].startswith("note: launcher self-update failed: GET "), r
    assert lines[1].startswith("engine: GET ") and lines[2].startswith("game: GET "), r
    assert "stand-in engine 1.0.0 running" in r.out


def test_nothing_installed(run, published, server):
    r = run("launch", "--no-update")
    assert (r.rc, r.err) == (1, f"Nothing is installed yet {EM} run: quillstep update\n"), r
    server.stop()
    r = run("launch")
    assert r.rc == 1, r
    assert "Nothing is installed yet" not in r.err
    assert len(r.err.splitlines()) == 3, r


def test_missing_engine_files_are_reported(run, installed):
    shutil.rmtree(run.data_dir / "engine" / "1.0.0")
    r = run("launch", "--no-update")
    assert (r.rc, r.out) == (1, ""), r
    assert r.err == (f"Engine 1.0.0 is registered but its files are missing {EM} "
                     "run: quillstep update --force\n")


def test_engine_that_cannot_execute_gives_127(run, installed):
    (run.data_dir / "engine" / "1.0.0" / "bin" / "quillstep").chmod(0o644)
    r = run("launch", "--no-update")
    assert r.rc == 127, r
    assert "execv failed for " in r.err
    assert r.out.endswith("Game exited with code 127\n")
