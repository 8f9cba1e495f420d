"""`update`: newer builds, --force, the words it takes, and refusals that must leave what is
installed working."""

import pytest

from conftest import EM, PLATFORM, assert_installed, make_zip


def test_newer_builds_replace_the_old_ones_and_force_drops_stray_files(run, installed):
    installed.publish_engine("1.1.0")
    installed.publish_game("0.2.0", min_engine="1.1.0")  # met: the engine is updated first
    (run.data_dir / "engine" / "stray.txt").write_text("mine")
    r = run("update", "game")
    assert (r.rc, r.out, r.err) == (0, "engine: installed 1.1.0\ngame: installed 0.2.0\n", ""), r
    assert sorted(p.name for p in (run.data_dir / "engine").iterdir()) == ["1.1.0", "stray.txt"]
    assert_installed(run, "1.1.0", "0.2.0")
    extra = [run.data_dir / p for p in ("engine/1.1.0/leftover.txt", "games/quillstep/x.txt",
                                        "cache/staging-engine/leftover.txt")]  # as a kill leaves
    for path in extra:
        path.parent.mkdir(exist_ok=True)
        path.write_text("x")
    r = run("update", "--force")
    assert (r.rc, r.out) == (0, "engine: installed 1.1.0\ngame: installed 0.2.0\n"), r
    assert not any(path.exists() for path in extra)


def test_leftover_directories_in_the_cache_give_way(run, published):
    """A directory at a download's ".part" name goes at once; one at an archive's own name fails
    that install, which removes it, so the next run gets through."""
    for name in (f"quillstep-engine-1.0.0-{PLATFORM}.zip.part", "quillstep-game-0.1.0.zip"):
        (run.data_dir / "cache" / name).mkdir(parents=True)
        (run.data_dir / "cache" / name / "file").write_text("x")
    r = run("update", "--yes")
    assert (r.rc, r.out) == (1, "engine: installed 1.0.0\n"), r
    assert r.err.startswith("game: copy failed (Is a directory): "), r
    r = run("update", "--yes")
    assert (r.rc, r.out) == (0, "engine: up to date (1.0.0)\ngame: installed 0.1.0\n"), r
    assert_installed(run, "1.0.0", "0.1.0")


@pytest.mark.parametrize("component,entries,fields,message", [
    ("engine", {"quillstep-1.1.0/bin/quillstep": b"x"}, {},
     f"engine archive for 1.1.0 does not contain bin/luanti(.exe) {EM} broken build"),
    ("game", {"quillstep/game.conf": b"x\n"}, {},
     f"game archive does not contain games/quillstep/game.conf {EM} broken package"),
    ("game", None, {"min_engine": "1.0.1"}, "game 1.1.0 requires engine 1.0.1 (installed: 1.0.0)"),
    ("game", None, {"files": {}}, "game build 1.1.0 has no artifact")])
def test_a_refused_build_keeps_the_installed_one(run, installed, component, entries, fields,
                                                 message):
    build = getattr(installed, "publish_" + component)("1.1.0", entries and make_zip(entries))
    build.update(fields)
    installed.republish(component)
    r = run("update")
    other = "game: up to date (0.1.0)" if component == "engine" else "engine: up to date (1.0.0)"
    assert (r.rc, r.out, r.err) == (1, other + "\n", f"{component}: {message}\n"), r
    assert_installed(run, "1.0.0", "0.1.0")


def test_component_words_an_empty_channel_and_an_engine_newer_than_published(run, published):
    for word in ("bogus", ""):
        r = run("update", "engine", word)
        assert (r.rc, r.err) == (2, f"unknown component: {word} "
                                    "(use launcher, engine, game or all)\n"), r
    assert published.requests() == []
    r = run("update", "--channel", "dev")
    assert (r.rc, r.err) == (1, "engine: no builds in channel 'dev'\n"
                                "game: no builds in channel 'dev'\n"), r
    r = run("update", "launcher", "launcher")
    assert (r.rc, r.out, run.state()) == (0, "launcher: up to date (0.1.0)\n" * 2, {}), r
    r = run("update", "bogus", "all")
    assert (r.rc, r.out) == (0, "engine: installed 1.0.0\ngame: installed 0.1.0\n"
                                "launcher: up to date (0.1.0)\n"), r
    (run.data_dir / "state.cfg").write_text("engine_version = 2.0.0\nkeep_me = yes\n")
    r = run("update")
    assert r.out.startswith("engine: up to date (2.0.0)\n") and run.state()["keep_me"] == "yes", r
    r = run("update", "--force")
    assert "engine: installed 1.0.0\n" in r.out and run.state()["engine_version"] == "1.0.0", r
