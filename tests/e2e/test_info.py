"""`status`, `list` and `source-info`: what a player reads about the installation and the server,
over HTTPS too."""

import pytest

from conftest import PLATFORM, TestServer


def test_status_shows_installed_and_latest_versions(run, installed, server):
    installed.publish_engine("1.1.0")
    latest = "latest engine   : {}\nlatest game     : {}\nlatest launcher : {}\n"
    for args, tail in ([], latest.format("1.1.0", "0.1.0", "0.1.0")), (["--offline"], ""), \
            (["--channel", "dev"], latest.format(*["(none)"] * 3)):
        r = run("status", *args)
        assert (r.rc, r.err) == (0, ""), r
        assert r.out.split("\n", 4)[4] == "engine:       1.0.0\ngame:         0.1.0\n" + tail, r
    server.stop()
    r = run("status")
    assert r.rc == 0 and r.out.count("\n") == 9, r
    for line, name in zip(r.out.splitlines()[6:], ("engine   ", "game     ", "launcher ")):
        assert line.startswith(f"latest {name}: unavailable (GET ") and line.endswith(")"), r


def test_list_shows_every_build_in_manifest_order(run, published):
    newer = published.publish_engine("1.1.0", released="2026-02-01", source=False)
    published.builds["engine"]["stable"].append(
        {"version": "0.9.0", "released": "2025-12-01",
         "files": {"linux-arm64": newer["files"][PLATFORM]}})
    published.republish("engine")
    size = [f"{b['files'][PLATFORM]['size']} B" for b in published.builds["engine"]["stable"][:2]]
    usage = "usage: quillstep list <launcher|engine|game>\n"
    for args, rc, out, err in (
            ("list engine", 0, f"Channel 'stable' of engine:\n\n  1.0.0            2026-01-02  "
             f"source  {size[0]}\n  1.1.0            2026-02-01  {size[1]}\n"
             "  0.9.0            2025-12-01  no linux-x64 build\n", ""),
            ("list game", 0, "Channel 'stable' of game:\n\n  0.1.0            2026-01-03\n", ""),
            ("list launcher --channel dev", 0, "No builds in channel 'dev'.\n", ""),
            ("list", 2, "", usage), ("list x y", 2, "", usage),
            ("list all", 2, "", "unknown component: all\n"),
            ("source-info --channel dev", 1, "", "no engine builds found\n")):
        r = run(*args.split())
        assert (r.rc, r.out, r.err) == (rc, out, err), r


FALLBACK = "quillstep-engine-source.zip"


@pytest.mark.parametrize("name,digest,result", [
    ("luanti-1.0.0-src.zip", None, "luanti-1.0.0-src.zip"), (".bashrc", None, FALLBACK),
    ("..zip", None, FALLBACK), ("", None, FALLBACK),
    ("luanti-1.0.0-src.zip", "A" * 64, "download failed: checksum mismatch for files/source/"
     f"luanti-1.0.0-src.zip (expected {'a' * 64}, got "),
    ("x.zip", "a" * 63, "manifest engine: build 1.0.0 source: missing or malformed sha256\n"),
    (None, None, "engine build 1.0.0 has no source archive entry\n")])
def test_source_info_describes_the_installed_engine_and_saves_only_its_verified_source(
        run, installed, tmp_path, name, digest, result):
    installed.publish_engine("1.1.0")
    build = installed.builds["engine"]["stable"][0]
    src = build.pop("source") if name is None else build["source"]
    src["url"], src["sha256"] = f"files/source/{name}", digest or src["sha256"]
    installed.put_file("files/source/" + (name or "index"), b"source of 1.0.0")
    installed.fault("/dist/files/source/", {"body_file": "dist/files/source/index"})
    installed.republish("engine")
    work = tmp_path / "work"
    work.mkdir()
    r = run("source-info", cwd=work)
    saved = run("source-info", "--download", cwd=work)
    files = [(p.name, p.read_bytes()) for p in work.iterdir()]
    if not result.endswith(".zip"):
        assert (saved.rc, files) == (1, []) and saved.err.startswith(result), saved
        return
    base = f"{run.server_url}dist"
    assert (r.rc, r.err) == (0, ""), r
    assert r.out == ("Quillstep engine 1.0.0 is based on Luanti (LGPL-2.1-or-later).\n"
                     "The full corresponding source (including all Quillstep modifications) is "
                     f"available for at least three years:\n\n  archive: {base}/{src['url']}\n"
                     f"  sha256:  {src['sha256']}\n  size:    {src['size']} B\n\n"
                     f"License text: {base}/license/LGPL-2.1.txt\nGame content (Lua mods, art, "
                     "audio) is proprietary and not covered by the LGPL.\n")
    assert saved.out == r.out + f"\nDownloading ./{result} ...\nSaved to ./{result}\n", saved
    assert files == [(result, b"source of 1.0.0")]


def test_a_self_signed_certificate_is_refused_unless_insecure_tls(run, dist):
    dist.publish_engine("1.0.0")
    with TestServer(dist.root, tls=True) as srv:
        run.server_url = srv.url("")
        for conf, rc in ("", 1), ("insecure_tls = maybe\n", 1), ("insecure_tls = true\n", 0):
            run.write_config(conf)
            r = run("list", "engine")
            assert r.rc == rc and r.err.startswith(
                "" if rc == 0 else f"GET {run.server_url}dist/engine/manifest.json failed: "), r
