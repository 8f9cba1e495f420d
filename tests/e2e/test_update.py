"""`update`: first installation, up to date, newer builds, --force, and failures that must leave
what is installed working."""

from conftest import EM, PLATFORM, assert_installed, make_zip


def engine_dirs(run):
    return sorted(p.name for p in (run.data_dir / "engine").iterdir())


def test_first_install_then_up_to_date(run, published):
    r = run("update")
    assert (r.rc, r.out, r.err) == (0, "engine: installed 1.0.0\ngame: installed 0.1.0\n", ""), r
    assert_installed(run, "1.0.0", "0.1.0")
    assert (run.data_dir / "engine/1.0.0/share/README.txt").read_text() == "engine 1.0.0\n"
    assert (run.data_dir / "worlds").is_dir()
    assert published.requests() == ["/dist/engine/manifest.json",
                                    f"/dist/files/engine/quillstep-engine-1.0.0-{PLATFORM}.zip",
                                    "/dist/game/manifest.json",
                                    "/dist/files/game/quillstep-game-0.1.0.zip"]
    r = run("update", "game")
    assert (r.rc, r.out, r.err) == (0, "engine: up to date (1.0.0)\ngame: up to date (0.1.0)\n",
                                    ""), r
    assert len(published.requests()) == 6  # two manifests, no downloads


def test_newer_builds_replace_the_old_ones_and_force_drops_stray_files(run, installed):
    installed.publish_engine("1.1.0")
    installed.publish_game("0.2.0", min_engine="1.1.0")
    (run.data_dir / "engine" / "stray.txt").write_text("mine")
    r = run("update", "engine")
    assert (r.rc, r.out) == (0, "engine: installed 1.1.0\ngame: installed 0.2.0\n"), r
    assert engine_dirs(run) == ["1.1.0", "stray.txt"]
    assert_installed(run, "1.1.0", "0.2.0")
    extra = [run.data_dir / "engine/1.1.0/leftover.txt", run.data_dir / "games/quillstep/x.txt"]
    for path in extra:
        path.write_text("x")
    r = run("update", "--force")
    assert (r.rc, r.out) == (0, "engine: installed 1.1.0\ngame: installed 0.2.0\n"), r
    assert not any(path.exists() for path in extra)


def test_an_installed_engine_newer_than_published_is_up_to_date(run, published):
    run.data_dir.mkdir(parents=True)
    (run.data_dir / "state.cfg").write_text("engine_version = 2.0.0\nkeep_me = yes\n")
    r = run("update", "--yes")
    assert r.out.startswith("engine: up to date (2.0.0)\n"), r
    assert run.state()["keep_me"] == "yes"
    r = run("update", "--force")
    assert "engine: installed 1.0.0\n" in r.out, r
    assert run.state()["engine_version"] == "1.0.0"


def test_a_broken_engine_does_not_stop_the_game_and_a_broken_game_keeps_the_old(run, installed):
    installed.publish_engine("1.1.0", data=make_zip({"quillstep-1.1.0/bin/quillstep": b"x"}))
    installed.publish_game("0.2.0")
    r = run("update")
    assert (r.rc, r.out) == (1, "game: installed 0.2.0\n"), r
    assert r.err == (f"engine: engine archive for 1.1.0 does not contain bin/luanti(.exe) {EM} "
                     "broken build\n")
    assert engine_dirs(run) == ["1.0.0"]
    installed.publish_game("0.3.0", data=make_zip({"quillstep/game.conf": b"x\n"}))
    r = run("update")
    assert r.rc == 1 and r.err.endswith("\ngame: game archive does not contain "
                                        f"games/quillstep/game.conf {EM} broken package\n"), r
    assert "version = 0.2.0\n" in (run.data_dir / "games/quillstep/game.conf").read_text()
    assert run.state() == {"engine_version": "1.0.0", "game_version": "0.2.0"}
    assert list((run.data_dir / "cache").iterdir()) == []


def test_server_errors_and_component_words_are_reported_per_component(run, published):
    for word in ("bogus", ""):
        r = run("update", "engine", word)
        assert (r.rc, r.err) == (2, f"unknown component: {word} "
                                    "(use launcher, engine, game or all)\n"), r
    assert published.requests() == []
    published.fault("/dist/engine/manifest.json", {"status": 500})
    r = run("update", "--channel", "dev")
    assert r.rc == 1, r
    lines = r.err.splitlines()
    assert lines[0].startswith("engine: GET ") and "/dist/engine/manifest.json" in lines[0]
    assert lines[1] == "game: no builds in channel 'dev'"
    r = run("update", "launcher", "launcher")
    assert (r.rc, r.out) == (0, "launcher: up to date (0.1.0)\n" * 2), r
    assert run.state() == {}
    published.fault("/dist/engine/manifest.json", {})
    r = run("update", "bogus", "all")
    assert (r.rc, r.out) == (0, "engine: installed 1.0.0\ngame: installed 0.1.0\n"
                                "launcher: up to date (0.1.0)\n"), r
