"""`status`, `list` and `source-info`: what a player reads about the installation and the server."""

import pytest

from conftest import PLATFORM


def size_of(build, key):
    size = build["files"][key]["size"]
    assert size < 1024  # shown as "<n> B"
    return f"{size} B"


def test_status_offline_and_online(run, installed, server):
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
    assert (r.rc, r.out, r.err) == (0, head + "latest engine   : 1.1.0\n"
                                    "latest game     : 0.1.0\n"
                                    "latest launcher : 0.1.0\n", ""), r

    r = run("status", "--channel", "dev")
    assert r.out.endswith("latest engine   : (none)\nlatest game     : (none)\n"
                          "latest launcher : (none)\n"), r

    server.stop()
    r = run("status")
    assert r.rc == 0, r
    latest = r.out.splitlines()[6:]
    assert [line.split(" (GET ")[0] for line in latest] == ["latest engine   : unavailable",
                                                           "latest game     : unavailable",
                                                           "latest launcher : unavailable"], r
    assert all(line.endswith(")") for line in latest), r


def test_list_shows_every_build_in_manifest_order(run, published):
    newer = published.publish_engine("1.1.0", released="2026-02-01", source=False)
    published.builds["engine"]["stable"].append(
        {"version": "0.9.0", "released": "2025-12-01",
         "files": {"linux-arm64": newer["files"][PLATFORM]}})
    published.republish("engine")
    first = published.builds["engine"]["stable"][0]

    r = run("list", "engine")
    assert (r.rc, r.err) == (0, ""), r
    assert r.out == ("Channel 'stable' of engine:\n\n"
                     f"  1.0.0            2026-01-02  source  {size_of(first, PLATFORM)}\n"
                     f"  1.1.0            2026-02-01  {size_of(newer, PLATFORM)}\n"
                     "  0.9.0            2025-12-01  no linux-x64 build\n")

    r = run("list", "game")
    assert r.out == "Channel 'stable' of game:\n\n  0.1.0            2026-01-03\n", r
    r = run("list", "launcher", "--channel", "dev")
    assert (r.rc, r.out) == (0, "No builds in channel 'dev'.\n"), r


@pytest.mark.parametrize("args,code,err", [
    ([], 2, "usage: quillstep list <launcher|engine|game>\n"),
    (["engine", "game"], 2, "usage: quillstep list <launcher|engine|game>\n"),
    (["all"], 2, "unknown component: all\n"),
])
def test_list_usage_errors(run, published, args, code, err):
    r = run("list", *args)
    assert (r.rc, r.out, r.err) == (code, "", err), r


def test_source_info_describes_the_installed_engine(run, installed, tmp_path):
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

    r = run("source-info", "--download", cwd=tmp_path)
    assert r.rc == 0, r
    assert r.out == expected + ("\nDownloading ./luanti-1.0.0-src.zip ...\n"
                                "Saved to ./luanti-1.0.0-src.zip\n")
    assert (tmp_path / "luanti-1.0.0-src.zip").read_bytes() == b"source of 1.0.0"


@pytest.mark.parametrize("name", [".bashrc", "..zip", ""])
def test_source_download_never_uses_a_hidden_or_traversing_name(run, published, tmp_path, name):
    src = published.builds["engine"]["stable"][0]["source"]
    published.put_file("files/source/" + (name or "index"), b"source of 1.0.0")
    if not name:
        published.fault("/dist/files/source/", {"body_file": "dist/files/source/index"})
    src["url"] = "files/source/" + name
    published.republish("engine")
    work = tmp_path / "work"
    work.mkdir()
    r = run("source-info", "--download", cwd=work)
    assert r.rc == 0, r
    assert r.out.endswith("Saved to ./quillstep-engine-source.zip\n"), r
    assert sorted(p.name for p in work.iterdir()) == ["quillstep-engine-source.zip"]


def test_source_download_with_a_wrong_digest_leaves_nothing(run, published, tmp_path):
    src = published.builds["engine"]["stable"][0]["source"]
    src["sha256"] = "A" * 64
    published.republish("engine")
    work = tmp_path / "work"
    work.mkdir()
    r = run("source-info", "--download", cwd=work)
    assert r.rc == 1, r
    assert r.err.startswith("download failed: checksum mismatch for "
                            f"files/source/luanti-1.0.0-src.zip (expected {'a' * 64}, got "), r
    assert list(work.iterdir()) == []


def test_source_info_needs_a_published_source(run, dist, server):
    dist.publish_engine("1.0.0", source=False)
    r = run("source-info")
    assert (r.rc, r.out, r.err) == (1, "", "engine build 1.0.0 has no source archive entry\n"), r
    r = run("source-info", "--channel", "dev")
    assert (r.rc, r.err) == (1, "no engine builds found\n"), r
