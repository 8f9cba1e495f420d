"""`status`, `list` and `source-info`: what a player reads about the installation and the server."""

import pytest

from conftest import PLATFORM


def test_status_offline_online_and_unreachable(run, installed, server):
    head = ("launcher:     0.1.0 (linux-x64, channel: stable)\n"
            f"server:       {run.server_url}dist\n"
            f"data dir:     {run.data_dir}\n"
            f"config:       {run.config_file}\n"
            "engine:       1.0.0\n"
            "game:         0.1.0\n")
    r = run("status", "--offline")
    assert (r.rc, r.out, r.err) == (0, head, ""), r
    installed.publish_engine("1.1.0")
    r = run("status")
    assert (r.rc, r.out, r.err) == (0, head + "latest engine   : 1.1.0\nlatest game     : 0.1.0\n"
                                    "latest launcher : 0.1.0\n", ""), r
    r = run("status", "--channel", "dev")
    assert r.out.endswith("latest engine   : (none)\nlatest game     : (none)\n"
                          "latest launcher : (none)\n"), r
    server.stop()
    r = run("status")
    assert r.rc == 0, r
    for line, name in zip(r.out.splitlines()[6:], ("engine   ", "game     ", "launcher ")):
        assert line.startswith(f"latest {name}: unavailable (GET ") and line.endswith(")"), r


def test_list_shows_every_build_in_manifest_order(run, published):
    newer = published.publish_engine("1.1.0", released="2026-02-01", source=False)
    published.builds["engine"]["stable"].append(
        {"version": "0.9.0", "released": "2025-12-01",
         "files": {"linux-arm64": newer["files"][PLATFORM]}})
    published.republish("engine")
    sizes = [b["files"][PLATFORM]["size"] for b in published.builds["engine"]["stable"][:2]]
    assert max(sizes) < 1024  # shown as "<n> B"
    r = run("list", "engine")
    assert (r.rc, r.err) == (0, ""), r
    assert r.out == ("Channel 'stable' of engine:\n\n"
                     f"  1.0.0            2026-01-02  source  {sizes[0]} B\n"
                     f"  1.1.0            2026-02-01  {sizes[1]} B\n"
                     "  0.9.0            2025-12-01  no linux-x64 build\n")
    r = run("list", "game")
    assert r.out == "Channel 'stable' of game:\n\n  0.1.0            2026-01-03\n", r
    r = run("list", "launcher", "--channel", "dev")
    assert (r.rc, r.out) == (0, "No builds in channel 'dev'.\n"), r
    usage = "usage: quillstep list <launcher|engine|game>\n"
    for args, err in ([], usage), (["x", "y"], usage), (["all"], "unknown component: all\n"):
        r = run("list", *args)
        assert (r.rc, r.out, r.err) == (2, "", err), r


def test_source_info_describes_and_downloads_the_installed_engine(run, installed, tmp_path):
    installed.publish_engine("1.1.0")
    src = installed.builds["engine"]["stable"][0]["source"]
    base = f"{run.server_url}dist"
    expected = ("Quillstep engine 1.0.0 is based on Luanti (LGPL-2.1-or-later).\n"
                "The full corresponding source (including all Quillstep modifications) is "
                "available for at least three years:\n\n"
                f"  archive: {base}/files/source/luanti-1.0.0-src.zip\n"
                f"  sha256:  {src['sha256']}\n"
                f"  size:    {src['size']} B\n\n"
                f"License text: {base}/license/LGPL-2.1.txt\n"
                "Game content (Lua mods, art, audio) is proprietary and not covered by the LGPL.\n")
    r = run("source-info")
    assert (r.rc, r.out, r.err) == (0, expected, ""), r
    r = run("source-info", "--download")
    assert r.rc == 0, r
    assert r.out == expected + ("\nDownloading ./luanti-1.0.0-src.zip ...\n"
                                "Saved to ./luanti-1.0.0-src.zip\n")
    assert (tmp_path / "luanti-1.0.0-src.zip").read_bytes() == b"source of 1.0.0"


FALLBACK = ["quillstep-engine-source.zip"]


@pytest.mark.parametrize("name,digest,saved", [
    (".bashrc", None, FALLBACK), ("..zip", None, FALLBACK), ("", None, FALLBACK),
    ("luanti-1.0.0-src.zip", "A" * 64, [])])
def test_source_download_never_uses_a_hidden_name_nor_keeps_a_bad_file(run, published, tmp_path,
                                                                       name, digest, saved):
    src = published.builds["engine"]["stable"][0]["source"]
    published.put_file("files/source/" + (name or "index"), b"source of 1.0.0")
    if not name:
        published.fault("/dist/files/source/", {"body_file": "dist/files/source/index"})
    src["url"], src["sha256"] = "files/source/" + name, digest or src["sha256"]
    published.republish("engine")
    (tmp_path / "work").mkdir()
    r = run("source-info", "--download", cwd=tmp_path / "work")
    assert r.rc == (1 if digest else 0), r
    if digest:
        assert r.err.startswith("download failed: checksum mismatch for files/source/"
                                f"luanti-1.0.0-src.zip (expected {'a' * 64}, got "), r
    assert sorted(p.name for p in (tmp_path / "work").iterdir()) == saved


def test_source_info_needs_a_published_source(run, dist, server):
    dist.publish_engine("1.0.0", source=False)
    r = run("source-info")
    assert (r.rc, r.out, r.err) == (1, "", "engine build 1.0.0 has no source archive entry\n"), r
