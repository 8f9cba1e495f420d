"""Black-box fixtures: per test a fresh HOME and XDG directories, a distribution served on
127.0.0.1 by tests/server.py ($QUILLSTEP_TEST_SERVER) and a runner for $QUILLSTEP_BIN."""

import contextlib
import hashlib
import io
import json
import os
import shutil
import signal
import subprocess
import sys
import zipfile
from pathlib import Path
from types import SimpleNamespace

import pytest

REPO = Path(__file__).resolve().parents[2]
BIN = os.environ.get("QUILLSTEP_BIN", str(REPO / "build" / "quillstep"))
SERVER_SCRIPT = os.environ.get("QUILLSTEP_TEST_SERVER", str(REPO / "tests" / "server.py"))
sys.path.insert(0, os.path.dirname(os.path.abspath(SERVER_SCRIPT)))

from server import TestServer  # noqa: E402,F401

PLATFORM = "linux-x64"
NOBODY = 65534
EM = "\u2014"

# The stand-in engine: records its arguments, one per line, into $QS_RECORD and exits with
# $QS_EXIT, or kills itself with $QS_SIGNAL.
ENGINE_SCRIPT = """#!/bin/sh
[ -z "$QS_RECORD" ] || for a in "$0" "$@"; do printf '%s\\n' "$a"; done > "$QS_RECORD"
echo "stand-in engine {version} running"
[ -z "$QS_SIGNAL" ] || kill -"$QS_SIGNAL" $$
exit "${{QS_EXIT:-0}}"
"""


def make_zip(entries):
    """ZIP bytes from {name: data | (data, mode) | (data, mode, method)}; modes travel as Unix
    attributes (a regular file unless mode says otherwise), a NUL in a name survives."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w") as z:
        for name, content in entries.items():
            content = content if isinstance(content, tuple) else (content,)
            data, mode, method = content + (0o644, zipfile.ZIP_DEFLATED)[len(content) - 1:]
            info = zipfile.ZipInfo(name.replace("\0", "\x7f"))
            info.create_system, info.external_attr = 3, (0o100000 | mode) << 16
            z.writestr(info, data, method)
    out = buf.getvalue()
    for name in filter(lambda name: "\0" in name, entries):
        out = out.replace(name.replace("\0", "\x7f").encode(), name.encode())
    return out


def engine_zip(version, extra=None):
    return make_zip({"bin/quillstep": (ENGINE_SCRIPT.format(version=version).encode(), 0o755),
                     "share/README.txt": b"engine " + version.encode() + b"\n", **(extra or {})})


def game_zip(version, extra=None):
    return make_zip({"games/quillstep/game.conf": b"name = Quillstep\nversion = " + version.encode()
                     + b"\n", "games/quillstep/mods/core/init.lua": b"-- core\n", **(extra or {})})


class Dist:
    """A distribution tree under root/dist: <component>/manifest.json and files/..."""

    def __init__(self, root):
        self.root, self.faults = Path(root), {}
        self.root.mkdir()
        self.builds = {"engine": {}, "game": {}, "launcher": {}}  # component -> channel -> builds

    def put_file(self, rel, data):
        (path := self.root / "dist" / rel).parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)

    def artifact(self, rel, data):
        self.put_file(rel, data)
        return {"url": rel, "sha256": hashlib.sha256(data).hexdigest(), "size": len(data)}

    def publish(self, component, version, data, released="2026-01-02", **fields):
        """Adds a build to the stable channel; the launcher's has only one."""
        key = "all" if component == "game" else PLATFORM
        name = f"quillstep-{component}-{version}" + ("" if component == "game" else "-" + PLATFORM)
        build = {"version": version, "released": released, **fields,
                 "files": {key: self.artifact(f"files/{component}/{name}.zip", data)}}
        channel = self.builds[component].setdefault("stable", [])
        self.builds[component]["stable"] = build if component == "launcher" else channel + [build]
        self.republish(component)
        return build

    def publish_engine(self, version, data=None, source=True, **kw):
        if source:
            kw["source"] = self.artifact(f"files/source/luanti-{version}-src.zip",
                                         b"source of " + version.encode())
        return self.publish("engine", version, data or engine_zip(version), **kw)

    def publish_game(self, version, data=None, released="2026-01-03", **kw):
        return self.publish("game", version, data or game_zip(version), released, **kw)

    def republish(self, component):
        """Writes the manifest again, also after a test changed self.builds by hand."""
        doc = {"schema": 1, "channels": self.builds[component]}
        self.put_file(f"{component}/manifest.json", json.dumps(doc, indent=1).encode())

    def requests(self):
        log = self.root.parent / "requests.log"
        return [json.loads(x)["path"] for x in log.read_text().splitlines()] if log.exists() else []

    def fault(self, url_path, how):
        """Sets the server's fault for url_path ({} clears it), atomically."""
        self.faults[url_path] = how
        (self.root / "_faults.tmp").write_text(json.dumps(self.faults))
        (self.root / "_faults.tmp").replace(self.root / "_faults.json")


class Runner:
    """Runs the launcher with a fresh HOME and XDG directories and (optionally) a server."""

    def __init__(self, tmp):
        self.tmp, self.home, self.server_url = Path(tmp), Path(tmp) / "home", None
        self.data_home, self.config_home = self.tmp / "xdg-data", self.tmp / "xdg-config"
        self.data_dir = self.data_home / "quillstep"
        self.config_file = self.config_home / "quillstep" / "launcher.conf"
        self.home.mkdir()
        self.env = {k: os.environ[k] for k in ("PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS",
                                               "LSAN_OPTIONS") if k in os.environ}
        self.env.update(HOME=str(self.home), XDG_DATA_HOME=str(self.data_home),
                        XDG_CONFIG_HOME=str(self.config_home))

    def write_config(self, text):
        self.config_file.parent.mkdir(parents=True, exist_ok=True)
        self.config_file.write_text(text)

    def state(self):
        """state.cfg as a dict ({} while there is none), after checking that it is whole."""
        path = self.data_dir / "state.cfg"
        text = path.read_text() if path.exists() else "# Quillstep launcher configuration\n"
        assert text.startswith("# Quillstep launcher configuration\n") and text.endswith("\n"), text
        return dict(line.split(" = ", 1) for line in text.splitlines()[1:])

    def __call__(self, *args, server=True, env=None, exe=BIN, cwd=None, strace=None,
                 as_player=False):
        """rc, out and err of a run, under strace with these options (-P path, -e inject=...) if
        given, and as_player by a user whom permission bits bind (nobody, when we are root). Its
        process group is killed at the end: strace leaves its tracee running."""
        argv = [exe] + (["--server", self.server_url] if server and self.server_url else [])
        if as_player and os.geteuid() == 0:
            argv = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"] + argv
        env = self.env if env is None else env
        if strace:
            if not shutil.which("strace"):
                pytest.skip("strace is needed to fail or stop chosen system calls")
            argv = ["strace", "-f", "-qq", "-o", os.devnull, *strace] + argv
            env = dict(env, LSAN_OPTIONS="detect_leaks=0")  # LeakSanitizer cannot run under ptrace
        # Standard input closed, as under cron: the launcher's own files may get descriptor 0.
        with subprocess.Popen([str(a) for a in argv + list(args)], env=env, cwd=cwd or self.tmp,
                              preexec_fn=lambda: os.close(0), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, encoding="utf-8", errors="replace",
                              start_new_session=True) as p:
            try:
                out, err = p.communicate(timeout=120)
            finally:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(p.pid, signal.SIGKILL)
        return SimpleNamespace(rc=p.returncode, out=out, err=err)


@pytest.fixture
def run(tmp_path):
    return Runner(tmp_path)


@pytest.fixture
def dist(tmp_path):
    return Dist(tmp_path / "site")


@pytest.fixture
def server(dist, run):
    """Serves dist over HTTP; the runner passes --server with its URL."""
    with TestServer(dist.root, log=dist.root.parent / "requests.log") as srv:
        run.server_url = srv.url("")
        yield srv


@pytest.fixture
def published(dist, server):
    """Engine 1.0.0, game 0.1.0 and the current launcher 0.1.0 on the stable channel."""
    dist.publish_engine("1.0.0")
    dist.publish_game("0.1.0")
    dist.publish("launcher", "0.1.0", make_zip({"quillstep-launcher": (b"#!/bin/sh\n", 0o755)}))
    return dist


@pytest.fixture
def installed(run, published):
    assert run("update", "--yes").rc == 0
    return published


def assert_installed(run, engine, game, allow=()):
    """state.cfg is whole and names an engine and game that are on disk, nothing half done (a
    cache entry, a staging directory, a temporary) is left but the names in allow, and the
    engine starts."""
    state = run.state()
    assert (state.get("engine_version"), state.get("game_version")) == (engine, game), state
    assert (run.data_dir / "engine" / engine / "bin" / "quillstep").is_file()
    assert f"version = {game}\n" in (run.data_dir / "games/quillstep/game.conf").read_text()
    half_done = {p.name for p in run.data_dir.rglob("*") if p.parent.name == "cache"
                 or p.name.startswith("staging-")
                 or p.name.endswith((".part", ".old", ".new", ".tmp", ".archive-tmp"))}
    assert half_done <= set(allow), half_done
    r = run("launch", "--no-update", "--no-selfupdate")
    assert r.rc == 0 and f"stand-in engine {engine} running" in r.out, r

