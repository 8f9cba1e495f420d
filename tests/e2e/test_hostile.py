"""Hostile and absurd input (archives, manifests, settings, over-long paths, links planted by other
users): a clear message, what is installed stays as it was, and no file of the player's changes."""

import os
import stat
import zipfile

import pytest

from conftest import assert_installed, engine_zip

LINK = stat.S_IFLNK | 0o777
LONG = "share/" + ("d" * 250 + "/") * 20 + "x"
OUTSIDE = "/tmp/quillstep-hostile-archive"  # where an archive that escaped would write


def tree(root, skip=("site", "requests.log")):
    return sorted((str(p), 0 if p.is_dir() else p.lstat().st_size) for p in root.rglob("*")
                  if p.relative_to(root).parts[0] not in skip)


@pytest.mark.parametrize("entries,message", [
    ({"share/evil\0.txt": b"x"}, "archive: invalid entry name: share/evil\\x00.txt"),
    ({"share/../../../../evil.txt": b"x"}, "archive: path traversal in zip: share/../../../../"),
    ({"..\\..\\evil.txt": b"x", "d:\\evil.txt": b"x"}, "archive: absolute path in zip: d:\\evil"),
    ({OUTSIDE + "/evil.txt": b"x"}, "archive: absolute path in zip: " + OUTSIDE + "/evil.txt"),
    ({"share/README.txt/evil.txt": b"x"}, "could not create directory: "),
    ({"bin/tool": (OUTSIDE.encode(), LINK), "bin/tool/evil.txt": b"x"},
     "archive: symlinks are not supported: bin/tool"),
    ({"share/packed": (b"x", 0o644, zipfile.ZIP_BZIP2)},
     "archive: unsupported zip compression method 12"),
    ({LONG: b"x"}, "could not create directory: "),
    (None, "not a zip archive (no end-of-central-directory): "),
], ids=["nul", "dot-dot", "backslash", "absolute", "file-under-file", "symlink", "method", "long",
        "not-zip"])
def test_hostile_archive_is_refused_and_changes_nothing(run, installed, entries, message):
    installed.publish_engine("1.1.0", data=engine_zip("1.1.0", entries) if entries else b"PK" * 99)
    before = tree(run.tmp)
    r = run("update")
    assert (r.rc, r.out) == (1, "game: up to date (0.1.0)\n"), r
    assert r.err.startswith("engine: ") and message in r.err and r.err.count("\n") == 1, r
    assert tree(run.tmp) == before and not os.path.lexists(OUTSIDE)
    assert_installed(run, "1.0.0", "0.1.0")


ART = '{"url": "files/x.zip", "sha256": "%s", "size": %s}' % ("0" * 64, "%s")
BUILD = '{"version": %s, "source": ' + ART % 1 + ', "files": {"linux-x64": ' + ART % 1 + '}}'
DOC = '{"schema": 1, "channels": {"stable": [%s]}}'


@pytest.mark.parametrize("component,text,message", [
    ("engine", '{"schema": 1e300, "channels": {}}', "unsupported manifest schema"),
    ("engine", DOC % BUILD.replace("1}}", "1e30}}") % '"2.0"', 'linux-x64: "size"'),
    ("game", DOC % BUILD.replace("1}}", "18446744073709551616}}") % '"2.0"', 'linux-x64: "size"'),
    ("game", '{"schema": 1, "channels": %s}' % ("[" * 100000 + "]" * 100000), "invalid JSON: "),
    ("engine", DOC % BUILD % '{"major": 2}', 'manifest engine: build entry: "version"'),
    ("engine", DOC % BUILD % '"9.0/../../evil"', "build has an unsafe version name: '9.0/../"),
    ("game", DOC % BUILD % '"9.0\\\\..\\\\evil"', "game build has an unsafe version name: "),
    ("engine", DOC % BUILD % '"2.0\\ngame_version = 9"', "unsafe version name: '2.0\n"),
    ("game", DOC % BUILD % '"2.0#x"', "game build has an unsafe version name: '2.0#x'"),
    ("launcher", '{"schema": 1, "channels": {"stable": %s}}' % BUILD % '".."',
     "launcher build has an unsafe version name: '..'"),
    ("launcher", '{"schema": 1, "channels": {"stable": %s}}' % BUILD.replace("x64", "arm64")
     % '"2.0"', "launcher: build 2.0 has no artifact for platform 'linux-x64'"),
], ids=["schema", "size-1e30", "size-2**64", "deep", "version-object", "version-slash",
        "version-backslash", "version-line-break", "version-hash", "version-dots", "no-artifact"])
def test_absurd_manifest_is_refused_and_changes_nothing(run, installed, component, text,
                                                        message):
    installed.put_file(component + "/manifest.json", text.encode())
    before = tree(run.tmp)
    r = run("update", component)
    assert r.rc == 1 and r.err.startswith(component + ": ") and message in r.err, r
    assert tree(run.tmp) == before
    assert_installed(run, "1.0.0", "0.1.0")


DEEP = "/" + "/".join(["d" * 250] * 20)  # beyond PATH_MAX


@pytest.mark.parametrize("conf,args,message", [
    (b"\0\xff\xfe\x1b[2J\n", [], "invalid line 1 in "),
    (b"# fine\n" + b"k" * (8 << 20) + b"\n", [], "invalid line 2 in "),
    (b"data_dir = %s\n" % DEEP.encode(), [], "could not create directory: /"),
    (b"", ["--data-dir", 4060],  # its directories fit below PATH_MAX, the archives do not
     "engine: could not open for writing: "),
    (b"channel = dev\0stable\n", [], "invalid channel 'dev\\x00stable' (use stable or dev)"),
], ids=["binary", "8MiB-line", "deep-data-dir", "room-for-dirs-only", "nul"])
def test_absurd_settings_and_paths_are_refused(run, installed, conf, args, message):
    run.config_file.write_bytes(conf)
    before = tree(run.data_dir)
    if args[-1:] == [4060]:
        deep = str(run.tmp) + ("/" + "e" * 199) * ((4059 - len(str(run.tmp))) // 200)
        args = [args[0], deep + "/" + "e" * (4059 - len(deep))]
    r = run("update", *args)
    assert r.rc == 1 and message in r.err, r
    assert tree(run.data_dir) == before
    run.config_file.unlink()
    assert_installed(run, "1.0.0", "0.1.0")


def test_outside_names_and_texts_neither_harm_files_nor_reach_the_terminal_raw(run, installed):
    victim, precious = run.tmp / "victim", run.tmp / "precious"
    victim.write_text("mine")
    precious.mkdir()
    (run.data_dir / "state.cfg.tmp").symlink_to(victim)  # planted by another user
    source = installed.publish_engine("1.1.0\x9b")["source"]  # a C1 control, CSI, as UTF-8
    source["url"] = source["url"].replace("luanti", "precious\0")  # "precious" would be removed
    installed.republish("engine")
    assert run("update").rc == 0 and victim.read_text() == "mine"
    shown = f"{run.data_dir}/engine/1.1.0\\xc2\\x9b/bin/quillstep"
    (run.data_dir / "engine/1.1.0\x9b/bin/quillstep").chmod(0o644)
    r = run("launch", "--no-update", "--no-selfupdate")
    assert r.out.startswith(f"Launching {shown} ...\n") and f"failed for {shown}: " in r.err, r
    r = run("source-info", "--download")
    assert "Downloading ./quillstep-engine-source.zip ...\n" in r.out and precious.is_dir(), r
    assert run("list", "e\x1b[2J").err == "unknown component: e\\x1b[2J\n"
