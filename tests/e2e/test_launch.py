"""`launch` and `play`: updating first, starting the engine with the right arguments, and passing
its exit status on."""

import shutil

import pytest

from conftest import EM, ENGINE_SCRIPT, make_zip


@pytest.mark.parametrize("name", ["quillstep", "luanti"])
def test_first_launch_installs_then_starts_the_engine_with_every_argument(run, published,
                                                                          tmp_path, name):
    published.publish_engine("1.0.1", make_zip(
        {"bin/" + name: (ENGINE_SCRIPT.format(version="1.0.1").encode(), 0o755)}))
    run.env["QS_RECORD"] = str(tmp_path / "engine-args.txt")
    r = run("launch", "--yes", "--", "--fullscreen", "", "-h", "--version", "a b")
    engine = run.data_dir / "engine" / "1.0.1" / "bin" / name
    assert (r.rc, r.out, r.err) == (0, f"Launching {engine} ...\nstand-in engine 1.0.1 running\n",
                                    ""), r
    assert (tmp_path / "engine-args.txt").read_text().split("\n")[:-1] == [
        str(engine), "--game-dir", str(run.data_dir / "games"),
        "--world-dir", str(run.data_dir / "worlds"), "--gameid", "quillstep",
        "--fullscreen", "", "-h", "--version", "a b"]


@pytest.mark.parametrize("command,engine_env,code,tail,err", [
    ("launch", {"QS_EXIT": "3"}, 3, "\nGame exited with code 3\n", ""),
    ("launch", {"QS_EXIT": "1"}, 1, "\nGame exited with code 1\n", ""),
    ("play", {"QS_SIGNAL": "9"}, 137, "\nGame exited with code 137\n", ""),
    ("play", {}, 0, "engine 1.0.0 running\n", ""),
    ("launch", None, 127, "\nGame exited with code 127\n", "execv failed for "),
    ("play", "fork", 1, " ...\n", "fork failed\n")])
def test_the_engine_exit_status_becomes_the_exit_code_and_lost_files_are_named(
        run, installed, command, engine_env, code, tail, err):
    if engine_env is None:  # not executable: the child cannot start it
        (run.data_dir / "engine" / "1.0.0" / "bin" / "quillstep").chmod(0o644)
    fork = engine_env == "fork" and ["-einject=clone:error=EAGAIN"]  # the child cannot be made
    run.env.update(engine_env if isinstance(engine_env, dict) else {})
    r = run(command, "--no-update", "--no-selfupdate", strace=fork)
    assert r.rc == code and r.out.endswith(tail), r
    assert r.err.startswith(err) and (r.err == "") == (err == ""), r
    shutil.rmtree(run.data_dir / "engine" / "1.0.0")
    r = run(command, "--no-update")
    assert (r.rc, r.out, r.err) == (1, "", f"Engine 1.0.0 is registered but its files are missing "
                                           f"{EM} run: quillstep update --force\n"), r


def test_no_update_contacts_no_server_and_an_unreachable_one_does_not_stop_the_game(
        run, installed, server):
    before = len(installed.requests())
    assert run("launch", "--no-update", "--no-selfupdate").rc == 0
    run.write_config("update_on_launch = no\nself_update = false\n")
    assert run("play").rc == 0
    assert len(installed.requests()) == before
    run.config_file.unlink()
    server.stop()
    r = run("launch")
    assert r.rc == 0 and "stand-in engine 1.0.0 running" in r.out, r
    lines = r.err.splitlines()
    assert lines[0].startswith("note: launcher self-update failed: GET "), r
    assert lines[1].startswith("engine: GET ") and lines[2].startswith("game: GET "), r
