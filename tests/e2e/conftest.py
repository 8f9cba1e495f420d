"""Fixtures for the black-box tests of the quillstep executable.

Every test gets its own HOME and XDG directories, a distribution published under a scratch
directory and served on 127.0.0.1 by tests/server.py, and a runner for the built executable.
QUILLSTEP_BIN names the executable, QUILLSTEP_TEST_SERVER the server script.
"""

import hashlib
import io
import json
import os
import stat
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BIN = os.environ.get("QUILLSTEP_BIN", str(REPO / "build" / "quillstep"))
SERVER_SCRIPT = os.environ.get("QUILLSTEP_TEST_SERVER", str(REPO / "tests" / "server.py"))
sys.path.insert(0, os.path.dirname(os.path.abspath(SERVER_SCRIPT)))

from server import TestServer, make_self_signed_cert  # noqa: E402

PLATFORM = "linux-x64"
EM = "\u2014"

# The stand-in engine: records its arguments, one per line, into $QS_RECORD and exits with
# $QS_EXIT, or kills itself with $QS_SIGNAL.
ENGINE_SCRIPT = """#!/bin/sh
if [ -n "$QS_RECORD" ]; then
  for a in "$0" "$@"; do printf '%s\\n' "$a"; done > "$QS_RECORD"
fi
echo "stand-in engine {version} running"
if [ -n "$QS_SIGNAL" ]; then kill -"$QS_SIGNAL" $$; fi
exit "${{QS_EXIT:-0}}"
"""


def make_zip(entries):
    """ZIP bytes from {name: bytes | (bytes, mode)}; modes travel as Unix attributes."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for name, content in entries.items():
            data, mode = content if isinstance(content, tuple) else (content, 0o644)
            info = zipfile.ZipInfo(name, date_time=(2026, 1, 2, 3, 4, 6))
            info.create_system = 3
            info.external_attr = (stat.S_IFREG | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)
    return buf.getvalue()


def engine_zip(version, extra=None):
    entries = {"bin/quillstep": (ENGINE_SCRIPT.format(version=version).encode(), 0o755),
               "share/README.txt": b"engine " + version.encode() + b"\n"}
    entries.update(extra or {})
    return make_zip(entries)


def game_zip(version, extra=None):
    entries = {"games/quillstep/game.conf": b"name = Quillstep\nversion = " + version.encode() + b"\n",
               "games/quillstep/mods/core/init.lua": b"-- core\n"}
    entries.update(extra or {})
    return make_zip(entries)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class Dist:
    """A distribution tree under root/dist: <component>/manifest.json and files/..."""

    def __init__(self, root):
        self.root = Path(root)
        self.dist = self.root / "dist"
        self.builds = {"engine": {}, "game": {}}  # component -> channel -> [build]
        self.launcher = {}                         # channel -> build

    def put_file(self, rel, data):
        path = self.dist / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return rel

    def artifact(self, rel, data, digest=None, size=None):
        self.put_file(rel, data)
        return {"url": rel, "sha256": digest or sha256(data),
                "size": len(data) if size is None else size}

    def publish_engine(self, version, data=None, channel="stable", digest=None, source=True,
                       released="2026-01-02"):
        data = engine_zip(version) if data is None else data
        build = {"version": version, "released": released,
                 "files": {PLATFORM: self.artifact(
                     "files/engine/quillstep-engine-%s-%s.zip" % (version, PLATFORM), data,
                     digest)}}
        if source:
            src = b"source of " + version.encode()
            build["source"] = self.artifact("files/source/luanti-%s-src.zip" % version, src)
        return self._add("engine", channel, build)

    def publish_game(self, version, data=None, channel="stable", digest=None, min_engine=None,
                     released="2026-01-03"):
        data = game_zip(version) if data is None else data
        build = {"version": version, "released": released,
                 "files": {"all": self.artifact("files/game/quillstep-game-%s.zip" % version, data,
                                                digest)}}
        if min_engine:
            build["min_engine"] = min_engine
        return self._add("game", channel, build)

    def publish_launcher(self, version, data, channel="stable"):
        rel = "files/launcher/quillstep-launcher-%s-%s.zip" % (version, PLATFORM)
        self.launcher[channel] = {"version": version, "released": "2026-01-01",
                                  "files": {PLATFORM: self.artifact(rel, data)}}
        self.write_manifest("launcher", {"schema": 1, "channels": self.launcher})

    def _add(self, component, channel, build):
        self.builds[component].setdefault(channel, []).append(build)
        self.republish(component)
        return build

    def republish(self, component):
        """Writes the manifest again after a test changed self.builds by hand."""
        self.write_manifest(component, {"schema": 1, "channels": self.builds[component]})

    def write_manifest(self, component, doc):
        self.put_file("%s/manifest.json" % component, json.dumps(doc, indent=1).encode())

    def fault(self, url_path, how):
        faults_file = self.root / "_faults.json"
        faults = json.loads(faults_file.read_text()) if faults_file.exists() else {}
        faults[url_path] = how
        tmp = self.root / "_faults.json.tmp"
        tmp.write_text(json.dumps(faults))
        tmp.replace(faults_file)


class Result:
    def __init__(self, proc):
        self.rc = proc.returncode
        self.out = proc.stdout.decode("utf-8", "replace")
        self.err = proc.stderr.decode("utf-8", "replace")

    def __repr__(self):
        return "rc=%r\n--- stdout\n%s--- stderr\n%s" % (self.rc, self.out, self.err)


class Runner:
    """Runs the launcher with a fresh HOME and XDG directories and (optionally) a server."""

    def __init__(self, tmp):
        self.tmp = Path(tmp)
        self.home = self.tmp / "home"
        self.data_home = self.tmp / "xdg-data"
        self.config_home = self.tmp / "xdg-config"
        self.home.mkdir()
        self.server_url = None
        self.env = {k: v for k, v in os.environ.items()
                    if k in ("PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")}
        self.env.update(HOME=str(self.home), XDG_DATA_HOME=str(self.data_home),
                        XDG_CONFIG_HOME=str(self.config_home))

    @property
    def data_dir(self):
        return self.data_home / "quillstep"

    @property
    def config_file(self):
        return self.config_home / "quillstep" / "launcher.conf"

    def write_config(self, text):
        self.config_file.parent.mkdir(parents=True, exist_ok=True)
        self.config_file.write_text(text)

    def state(self):
        path = self.data_dir / "state.cfg"
        if not path.exists():
            return {}
        pairs = (line.split(" = ", 1) for line in path.read_text().splitlines()
                 if line and not line.startswith("#"))
        return {k: v for k, v in pairs}

    def __call__(self, *args, server=True, stdin=subprocess.DEVNULL, env=None, exe=BIN,
                 cwd=None):
        argv = [str(exe)]
        if server and self.server_url:
            argv += ["--server", self.server_url]  # ahead of any "--"
        argv += [str(a) for a in args]
        proc = subprocess.run(argv, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=self.env if env is None else env, cwd=cwd or self.tmp,
                              timeout=120)
        return Result(proc)


@pytest.fixture
def run(tmp_path):
    return Runner(tmp_path)


@pytest.fixture
def dist(tmp_path):
    root = tmp_path / "site"
    root.mkdir()
    return Dist(root)


@pytest.fixture
def server(dist, run):
    """Serves dist over HTTP; the runner passes --server with its URL."""
    with TestServer(dist.root, log=dist.root.parent / "requests.log") as srv:
        run.server_url = srv.url("")
        yield srv


@pytest.fixture
def request_log(dist):
    """The URL paths the server has been asked for so far."""
    def paths():
        log = dist.root.parent / "requests.log"
        if not log.exists():
            return []
        return [json.loads(line)["path"] for line in log.read_text().splitlines()]
    return paths


@pytest.fixture
def published(dist, server):
    """Engine 1.0.0, game 0.1.0 and the current launcher 0.1.0 on the stable channel."""
    dist.publish_engine("1.0.0")
    dist.publish_game("0.1.0")
    dist.publish_launcher("0.1.0", make_zip({"quillstep-launcher": (b"#!/bin/sh\n", 0o755)}))
    return dist


@pytest.fixture
def installed(run, published):
    """The published engine and game, installed."""
    r = run("update", "--yes")
    assert r.rc == 0, r
    return published


def read_state(run):
    """state.cfg as a dict, after checking that it is whole."""
    text = (run.data_dir / "state.cfg").read_text()
    assert text.startswith("# Quillstep launcher configuration\n") and text.endswith("\n"), text
    return dict(line.split(" = ", 1) for line in text.splitlines()[1:])


def half_done(run):
    """Names in the data directory that only an unfinished step leaves, and the cache's."""
    return {p.name for p in run.data_dir.rglob("*") if p.parent.name == "cache"
            or p.name.startswith("staging-")
            or p.name.endswith((".part", ".old", ".new", ".tmp", ".archive-tmp"))}


def assert_installed(run, engine, game, allow=()):
    """state.cfg is whole and names an engine and game that are on disk, nothing half done is
    left (but the names in allow), and the engine starts."""
    state = read_state(run)
    assert (state.get("engine_version"), state.get("game_version")) == (engine, game), state
    assert (run.data_dir / "engine" / engine / "bin" / "quillstep").is_file()
    assert f"version = {game}\n" in (run.data_dir / "games/quillstep/game.conf").read_text()
    assert half_done(run) <= set(allow), half_done(run)
    r = run("launch", "--no-update", "--no-selfupdate")
    assert r.rc == 0 and f"stand-in engine {engine} running" in r.out, r
