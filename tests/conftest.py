"""Shared fixtures: the built extension, a generated tree in a temporary
directory, registry documents on disk or behind a local HTTP server, and fresh
interpreters for start-up behaviour."""

import atexit
import datetime
import http.server
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import textwrap
import threading
import warnings
from pathlib import Path

import pytest

os.environ.setdefault("DO_NOT_TRACK", "1")
# corvel-generate's model cache: never the user's; each test gets its own (the fixture below).
os.environ["XDG_CACHE_HOME"] = tempfile.mkdtemp(prefix="corvel-test-cache-")
atexit.register(shutil.rmtree, os.environ["XDG_CACHE_HOME"], True)
sys.path.append(str(Path(__file__).parents[1] / "tools" / "sanitize"))

import checker_crash  # noqa: E402

import corvel.model_generator as mg  # noqa: E402
from corvel.registry import BUNDLED_REGISTRY, REGISTRY_VARIABLE  # noqa: E402

INSTALLED_PACKAGE = Path(mg.__file__).parent
# the registry airbyte served in June 2023, read where the checkout's shared/ folder keeps it
REAL_REGISTRY = Path(__file__).resolve().parents[2] / "shared" / "registries" / "oss-2023-06.json"


def require_input(path):
    """Skips the test when PATH, an input kept beside the checkout, is missing; in CI (CI=true) fails it
    instead, so that a run without it cannot pass."""
    if not Path(path).is_file():
        (pytest.fail if os.environ.get("CI") == "true" else pytest.skip)(f"{path} is missing")


@pytest.fixture(autouse=True)
def model_cache_home(tmp_path, monkeypatch):
    """A cache directory of the test's own: no test sees models another one left."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache-home"))
    return tmp_path / "cache-home" / "corvel"


@pytest.fixture(autouse=True)
def bundled_registry_by_default(monkeypatch):
    """airbyte's registry, corvel's default, is on the network: a test reads the bundled one unless it names another."""
    monkeypatch.setenv(REGISTRY_VARIABLE, str(BUNDLED_REGISTRY))


@pytest.fixture(autouse=True)
def pypi_unreachable(monkeypatch):
    """PyPI, where a run reads the stream schemas of a release that is not installed, is a port on 127.0.0.1 where
    nothing listens, unless the test serves one: no test reaches the network through it."""
    with socket.socket() as unused:
        unused.bind(("127.0.0.1", 0))
        monkeypatch.setenv("CORVEL_PYPI_URL", f"http://127.0.0.1:{unused.getsockname()[1]}")


@pytest.fixture
def tree(tmp_path):
    """A generated tree of its own: mg.CURRENT_DIR points at it for the test."""
    root = tmp_path / "pkg"
    (root / "connector_configs" / "jsonschema").mkdir(parents=True)
    (root / "connector_configs" / "model").mkdir(parents=True)
    saved = mg.CURRENT_DIR
    mg.CURRENT_DIR = str(root)
    yield root
    mg.CURRENT_DIR = saved


@pytest.fixture
def rebind():
    """Rebinds module attributes for one test: rebind(name=value, ...)."""
    saved = {}

    def set_names(**names):
        for name, value in names.items():
            saved.setdefault(name, mg.__dict__.get(name))
            setattr(mg, name, value)

    yield set_names
    for name, value in saved.items():
        setattr(mg, name, value)


def entry(repository, tag="1.0.0", schema=None, **extra):
    """A registry entry with a small schema unless one is given."""
    if schema is None:
        schema = {"type": "object", "properties": {"path": {"type": "string"}}}
    result = {"dockerRepository": repository, "spec": {"connectionSpecification": schema}, **extra}
    if tag is not ...:
        result["dockerImageTag"] = tag
    return result


@pytest.fixture
def registry(tmp_path, monkeypatch):
    """Writes a registry document and points airbyte at it: registry(doc)."""

    def write(document, *, raw=None):
        path = tmp_path / "registry.json"
        if raw is not None:
            path.write_bytes(raw)
        else:
            path.write_text(json.dumps(document), encoding="utf-8")
        monkeypatch.setenv("AIRBYTE_LOCAL_REGISTRY", str(path))
        return path

    return write


class RegistryServer:
    """A real HTTP server on 127.0.0.1 answering every GET with one reply."""

    def __init__(self):
        self.status = 200
        self.body = b"{}"
        self.requests = []
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                server.requests.append({"path": self.path, "headers": dict(self.headers)})
                self.send_response(server.status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(server.body)))
                self.end_headers()
                self.wfile.write(server.body)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}/registry.json"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


@pytest.fixture
def registry_server(monkeypatch):
    server = RegistryServer()
    monkeypatch.setenv("AIRBYTE_LOCAL_REGISTRY", server.url)
    yield server
    server.close()


# Put on PYTHONPATH by no_network: the guard in every Python process a test starts.
NETWORK_GUARD = """\
import os, socket

_connect, _connect_ex = socket.socket.connect, socket.socket.connect_ex


def _refused(sock, address):
    if sock.family in (socket.AF_INET, socket.AF_INET6) and address[0] not in ("127.0.0.1", "::1", "localhost"):
        with open(os.environ["CORVEL_TEST_CONNECTIONS"], "a", encoding="utf-8") as log:
            log.write(f"{address!r}\\n")
        raise ConnectionRefusedError(f"this test makes no connection but to 127.0.0.1, not to {address!r}")


def connect(sock, address):
    _refused(sock, address)
    return _connect(sock, address)


def connect_ex(sock, address):
    _refused(sock, address)
    return _connect_ex(sock, address)


socket.socket.connect, socket.socket.connect_ex = connect, connect_ex
"""


@pytest.fixture
def no_network(tmp_path, monkeypatch):
    """Refuses every connection to anything but 127.0.0.1, in this process and in the Python processes it starts,
    and fails the test that attempted one: a caller that falls back quietly on a refusal cannot pass."""
    guard = tmp_path / "network-guard"
    guard.mkdir()
    (guard / "sitecustomize.py").write_text(NETWORK_GUARD, encoding="utf-8")
    attempts = tmp_path / "connections.log"
    attempts.touch()
    monkeypatch.setenv("CORVEL_TEST_CONNECTIONS", str(attempts))
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(filter(None, [str(guard), os.environ.get("PYTHONPATH")])))
    for name in ("connect", "connect_ex"):  # put back after the test
        monkeypatch.setattr(socket.socket, name, getattr(socket.socket, name))
    exec(NETWORK_GUARD, {})  # the guard in this process too
    yield
    assert attempts.read_text(encoding="utf-8") == "", "connections attempted"


@pytest.fixture
def sigint_interrupts():
    """SIGINT as an interpreter sets it up when it did not inherit it ignored, for a test that sends one.

    A process started in the background of a non-interactive shell (nohup,
    `cmd &` in a script, some CI runners) inherits SIGINT ignored, and an
    interpreter keeps an ignored SIGINT ignored; so does a program it starts.
    For the test this process raises KeyboardInterrupt in its main thread, and
    a process started meanwhile begins with the default disposition (a handler
    is reset at exec, an ignored signal is not).
    """
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


def python_script_on_path(monkeypatch, bin_dir, name, text):
    """Installs `text` as a console script `name` of this interpreter in bin_dir, put first on PATH."""
    bin_dir.mkdir(exist_ok=True)
    script = bin_dir / name
    script.write_text(text.format(python=sys.executable), encoding="utf-8")
    script.chmod(0o755)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    return script


@pytest.fixture
def package_copy(tmp_path):
    """A copy of the installed corvel package under tmp_path/site; returns the
    directory to put on the search path."""
    site = tmp_path / "site"
    shutil.copytree(INSTALLED_PACKAGE, site / "corvel", ignore=shutil.ignore_patterns("__pycache__"))
    return site


def run_process(arguments, **options):
    """subprocess.run with text output captured, repeated when only the leak
    checker of the sanitizer run crashed at the process's end."""
    for _ in range(1, checker_crash.ATTEMPTS):
        done = subprocess.run(arguments, capture_output=True, text=True, **options)
        if not checker_crash.only_the_checker_crashed(done.returncode, done.stderr):
            return done
        warnings.warn(f"the leak checker crashed at the end of {arguments[:3]}, run again:\n{done.stderr[-600:]}")
    return subprocess.run(arguments, capture_output=True, text=True, **options)


def run_python(code, *, path_entry=None, cwd=None, env=None):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    environment = dict(os.environ, **(env or {}))
    if path_entry is not None:
        environment["PYTHONPATH"] = str(path_entry)
    return run_process([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd, env=environment, timeout=300)


def instant(text):
    try:
        return datetime.datetime.fromisoformat(text)
    except (TypeError, ValueError):
        return None


def holds(sent, given):
    """SENT holds every member of GIVEN, at every depth, with an equal JSON value."""
    if isinstance(given, dict):
        return isinstance(sent, dict) and all(key in sent and holds(sent[key], value) for key, value in given.items())
    if isinstance(given, list):
        return isinstance(sent, list) and len(sent) == len(given) and all(map(holds, sent, given))
    if isinstance(given, bool) or isinstance(sent, bool):
        return sent is given
    if isinstance(given, str) and sent != given and instant(given) is not None:
        return instant(sent) == instant(given)  # the same date and time, spelled as the class writes it
    return sent == given
