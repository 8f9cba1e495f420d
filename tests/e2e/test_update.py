"""`update`: first installation, up to date, newer builds, --force, and failures that must leave
what is installed working."""

import stat

from conftest import EM, PLATFORM, engine_zip, game_zip, make_zip


def engine_dirs(run):
    return sorted(p.name for p in (run.data_dir / "engine").iterdir())


def cache_is_clean(run):
    return list((run.data_dir / "cache").iterdir()) == []


def test_first_install_puts_engine_and_game_in_place(run, published, request_log):
    r = run("update")
    assert (r.rc, r.out, r.err) == (0, "engine: installed 1.0.0\ngame: installed 0.1.0\n", ""), r
    assert run.state() == {"engine_version": "1.0.0", "game_version": "0.1.0"}
    engine = run.data_dir / "engine" / "1.0.0" / "bin" / "quillstep"
    assert stat.S_IMODE(engine.stat().st_mode) & 0o111, "engine lost its execute bit"
    assert (run.data_dir / "engine" / "1.0.0" / "share" / "README.txt").read_text() == \
        "engine 1.0.0\n"
    assert (run.data_dir / "games" / "quillstep" / "game.conf").is_file()
    assert (run.data_dir / "games" / "quillstep" / "mods" / "core" / "init.lua").is_file()
    assert not (run.data_dir / "games" / "quillstep.old").exists()
    assert (run.data_dir / "worlds").is_dir()
    assert cache_is_clean(run)
    assert request_log() == ["/dist/engine/manifest.json",
                             f"/dist/files/engine/quillstep-engine-1.0.0-{PLATFORM}.zip",
                             "/dist/game/manifest.json",
                             "/dist/files/game/quillstep-game-0.1.0.zip"]

    r = run("update", "game")
    assert (r.rc, r.out, r.err) == (0, "engine: up to date (1.0.0)\ngame: up to date (0.1.0)\n",
                                    ""), r
    assert len(request_log()) == 6  # two manifests, no downloads


def test_newer_builds_replace_the_old_ones(run, installed):
    installed.publish_engine("1.1.0")
    installed.publish_game("0.2.0", min_engine="1.1.0")
    (run.data_dir / "engine" / "stray.txt").write_text("mine")
    r = run("update", "engine")
    assert (r.rc, r.out) == (0, "engine: installed 1.1.0\ngame: installed 0.2.0\n"), r
    assert engine_dirs(run) == ["1.1.0", "stray.txt"]
    assert run.state() == {"engine_version": "1.1.0", "game_version": "0.2.0"}
    assert "version = 0.2.0" in (run.data_dir / "games/quillstep/game.conf").read_text()
    assert cache_is_clean(run)


def test_force_reinstalls_and_drops_files_the_build_no_longer_has(run, installed):
    extra = run.data_dir / "engine" / "1.0.0" / "leftover.txt"
    extra.write_text("x")
    (run.data_dir / "games" / "quillstep" / "saved-by-hand.txt").write_text("x")
    r = run("update", "--force")
    assert (r.rc, r.out) == (0, "engine: installed 1.0.0\ngame: installed 0.1.0\n"), r
    assert not extra.exists()
    assert not (run.data_dir / "games" / "quillstep" / "saved-by-hand.txt").exists()


def test_installed_engine_newer_than_published_counts_as_up_to_date(run, published):
    run.data_dir.mkdir(parents=True)
    (run.data_dir / "state.cfg").write_text("engine_version = 2.0.0\nkeep_me = yes\n")
    r = run("update", "--yes")
    assert r.out.startswith("engine: up to date (2.0.0)\n"), r
    assert run.state()["keep_me"] == "yes"
    r = run("update", "--force")
    assert "engine: installed 1.0.0\n" in r.out, r
    assert run.state()["engine_version"] == "1.0.0"


def test_digest_mismatch_keeps_the_installed_engine(run, installed):
    installed.publish_engine("1.1.0", digest="0" * 64)
    r = run("update")
    assert r.rc == 1, r
    assert r.err.startswith(f"engine: checksum mismatch for files/engine/quillstep-engine-1.1.0-"
                            f"{PLATFORM}.zip (expected {'0' * 64}, got "), r
    assert r.out == "game: up to date (0.1.0)\n"
    assert engine_dirs(run) == ["1.0.0"]
    assert run.state()["engine_version"] == "1.0.0"
    assert cache_is_clean(run)
    assert run("launch", "--no-selfupdate", "--no-update").rc == 0


def test_failed_engine_install_does_not_stop_the_game(run, installed):
    broken = make_zip({"quillstep-1.1.0/bin/quillstep": (b"#!/bin/sh\n", 0o755)})
    installed.publish_engine("1.1.0", data=broken)
    installed.publish_game("0.2.0")
    r = run("update")
    assert r.rc == 1, r
    assert r.err == (f"engine: engine archive for 1.1.0 does not contain bin/luanti(.exe) {EM} "
                     "broken build\n")
    assert r.out == "game: installed 0.2.0\n"
    assert run.state() == {"engine_version": "1.0.0", "game_version": "0.2.0"}
    assert engine_dirs(run) == ["1.0.0"]
    assert cache_is_clean(run)


def test_broken_or_truncated_game_package_keeps_the_installed_game(run, installed):
    game_conf = run.data_dir / "games" / "quillstep" / "game.conf"
    before = game_conf.read_text()
    installed.publish_game("0.2.0", data=make_zip({"quillstep/game.conf": b"x\n"}))
    r = run("update")
    assert r.rc == 1, r
    assert r.err == ("game: game archive does not contain games/quillstep/game.conf "
                     f"{EM} broken package\n")
    assert game_conf.read_text() == before
    assert run.state()["game_version"] == "0.1.0"

    installed.publish_game("0.3.0")
    installed.fault("/dist/files/game/quillstep-game-0.3.0.zip", {"truncate": 50})
    r = run("update")
    assert r.rc == 1 and r.err.startswith("game: GET "), r
    assert game_conf.read_text() == before
    assert not (run.data_dir / "games" / "quillstep.old").exists()
    assert cache_is_clean(run)


def test_hostile_archive_writes_nothing_outside(run, installed, tmp_path):
    evil = engine_zip("6.6.6", {"../../../../evil.txt": b"pwned", "../evil.txt": b"pwned"})
    installed.publish_engine("6.6.6", data=evil)
    r = run("update", "engine")
    assert r.rc == 1, r
    assert r.err.startswith("engine: "), r
    assert [p for p in tmp_path.rglob("evil.txt")] == []
    assert engine_dirs(run) == ["1.0.0"]
    assert run.state()["engine_version"] == "1.0.0"


def test_server_errors_are_reported_per_component(run, published):
    published.fault("/dist/engine/manifest.json", {"status": 500})
    r = run("update", "--channel", "dev")
    assert r.rc == 1, r
    lines = r.err.splitlines()
    assert lines[0].startswith("engine: GET ") and "/dist/engine/manifest.json" in lines[0]
    assert lines[1] == "game: no builds in channel 'dev'"
    assert run.state() == {}


def test_component_words(run, published, request_log):
    r = run("update", "engine", "bogus")
    assert (r.rc, r.err) == (2, "unknown component: bogus (use launcher, engine, game or all)\n")
    r = run("update", "")
    assert (r.rc, r.err) == (2, "unknown component:  (use launcher, engine, game or all)\n")
    assert request_log() == []

    r = run("update", "launcher", "launcher")
    assert (r.rc, r.out) == (0, "launcher: up to date (0.1.0)\n" * 2), r
    assert run.state() == {}

    r = run("update", "bogus", "all")
    assert (r.rc, r.out) == (0, "engine: installed 1.0.0\ngame: installed 0.1.0\n"
                                "launcher: up to date (0.1.0)\n"), r

