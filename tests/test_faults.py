"""What a user is left with when the disk, the folders, the registry server or
the generator fail, and when the registry is large."""

import ctypes
import errno
import gc
import io
import json
import os
import re
import shutil
import socket
import sys
import sysconfig
import threading
import types

import pytest
import requests
from conftest import entry, mg, run_process, run_python

from corvel import cli, commit

GENERATOR = shutil.which("datamodel-codegen") or shutil.which("datamodel-codegen", path=sysconfig.get_path("scripts"))
DOCUMENT = {"sources": [entry("airbyte/source-a"), entry("airbyte/source-b")], "destinations": []}


def open_files():
    return set(os.listdir("/proc/self/fd"))


def test_failed_schema_write_closes_the_file(tree, registry):
    registry(DOCUMENT)
    target = tree / "connector_configs" / "jsonschema" / "source_a__1_0_0.json"
    target.symlink_to("/dev/full")
    before = open_files()
    with pytest.raises(OSError) as raised:
        mg.generate_jsonschema_files(["source-a", "source-b"])
    assert raised.value.errno == 28  # no space left on device
    assert open_files() == before
    assert not (tree / "connector_configs" / "jsonschema" / "source_b__1_0_0.json").exists()


def test_missing_index_folder_runs_nothing(tmp_path, rebind):
    runs = []
    rebind(CURRENT_DIR=str(tmp_path / "absent"),
           subprocess=types.SimpleNamespace(run=lambda *a, **k: runs.append(a)))
    with pytest.raises(FileNotFoundError):
        mg.generate_model_files(["a__1"])
    assert runs == []


def test_interrupt_during_a_run_keeps_what_was_written(tree, rebind):
    def run(command, **options):
        if "b__1" in command:
            raise KeyboardInterrupt
        return None

    rebind(subprocess=types.SimpleNamespace(run=run, CalledProcessError=ChildProcessError))
    before = open_files()
    with pytest.raises(KeyboardInterrupt):
        mg.generate_model_files(["a__1", "b__1", "c__1"])
    assert open_files() == before
    index = (tree / "connector_configs" / "__init__.py").read_text()
    assert index.endswith("import corvel.connector_configs.model.a__1 as A\n")


def test_registry_file_that_is_a_directory(tree, monkeypatch, tmp_path):
    monkeypatch.setenv("AIRBYTE_LOCAL_REGISTRY", str(tmp_path))
    before = open_files()
    with pytest.raises(IsADirectoryError):
        mg.generate_jsonschema_files(["source-a"])
    assert open_files() == before


def test_ten_thousand_requested_names(tree, registry):
    registry(DOCUMENT)
    names = {f"source-{i}" for i in range(10_000)} | {"source-a"}
    assert mg.generate_jsonschema_files(names) == ["source_a__1_0_0"]


# --- folders the run may not write -----------------------------------------

class _CapHeader(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32), ("pid", ctypes.c_int)]


class _CapData(ctypes.Structure):
    _fields_ = [("effective", ctypes.c_uint32), ("permitted", ctypes.c_uint32), ("inheritable", ctypes.c_uint32)]


def obey_permissions():
    """Makes this process, and what it starts, subject to file modes even as
    root: drops the capabilities that override them (CAP_DAC_OVERRIDE and
    CAP_DAC_READ_SEARCH) from the bounding set and from this process."""
    if os.geteuid() != 0:
        return
    libc = ctypes.CDLL(None, use_errno=True)
    dac_caps = (1, 2)
    for cap in dac_caps:
        if libc.prctl(24, cap, 0, 0, 0) != 0:  # PR_CAPBSET_DROP
            raise OSError(ctypes.get_errno(), "prctl(PR_CAPBSET_DROP)")
    header, data = _CapHeader(0x20080522, 0), (_CapData * 2)()  # _LINUX_CAPABILITY_VERSION_3
    if libc.capget(ctypes.byref(header), data) != 0:
        raise OSError(ctypes.get_errno(), "capget")
    keep = ~sum(1 << cap for cap in dac_caps) & 0xFFFFFFFF
    for field in ("effective", "permitted", "inheritable"):
        setattr(data[0], field, getattr(data[0], field) & keep)
    if libc.capset(ctypes.byref(header), data) != 0:
        raise OSError(ctypes.get_errno(), "capset")


def in_child(action):
    """Runs action() in a forked child that obeys file modes; returns what it
    returned (JSON-able), or re-raises a failure of the child's own."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(read_end)
            obey_permissions()
            outcome = {"result": action()}
            status = 0
        except BaseException as error:  # noqa: B036 - reported to the parent
            outcome = {"child_error": repr(error)}
        finally:
            try:
                with os.fdopen(write_end, "w") as report:
                    json.dump(outcome, report)
            finally:
                os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end) as report:
        text = report.read()
    _, wait_status = os.waitpid(pid, 0)
    outcome = json.loads(text)
    assert "child_error" not in outcome, outcome
    assert os.waitstatus_to_exitcode(wait_status) == 0
    return outcome["result"]


def attempt(call):
    """The exception a call raises, and whether it left files open."""
    before = open_files()
    try:
        value = call()
    except Exception as error:
        return {"raised": type(error).__name__, "errno": getattr(error, "errno", None),
                "filename": getattr(error, "filename", None), "files_kept": sorted(open_files() - before)}
    return {"returned": value, "files_kept": sorted(open_files() - before)}


def test_read_only_schema_folder(tree, registry):
    registry(DOCUMENT)
    folder = tree / "connector_configs" / "jsonschema"
    folder.chmod(0o555)
    try:
        outcome = in_child(lambda: attempt(lambda: mg.generate_jsonschema_files(["source-a", "source-b"])))
    finally:
        folder.chmod(0o755)
    assert outcome == {"raised": "PermissionError", "errno": errno.EACCES,
                       "filename": str(folder / "source_a__1_0_0.json"), "files_kept": []}
    assert list(folder.iterdir()) == []


@pytest.mark.skipif(GENERATOR is None, reason="datamodel-codegen is not installed")
def test_read_only_model_folder(tree, registry, monkeypatch):
    registry(DOCUMENT)
    assert mg.generate_jsonschema_files(["source-a"]) == ["source_a__1_0_0"]
    monkeypatch.setenv("PATH", os.path.dirname(GENERATOR) + os.pathsep + os.environ.get("PATH", ""))
    folder = tree / "connector_configs" / "model"
    folder.chmod(0o555)

    def run():
        sys.stdout = io.StringIO()
        outcome = attempt(lambda: mg.generate_model_files(["source_a__1_0_0"]))
        outcome["printed"] = sys.stdout.getvalue()
        return outcome

    try:
        outcome = in_child(run)
    finally:
        folder.chmod(0o755)
    # the generator's failure is reported, and the run goes on to the index
    assert outcome["returned"] is None and outcome["files_kept"] == []
    printed = outcome["printed"]
    assert printed.startswith("command stdout:\n")
    assert re.search(r"^command failed with return code: [1-9]\d*$", printed, re.M)
    assert f"--output {tree}/connector_configs/model/source_a__1_0_0.py" in printed
    assert list(folder.iterdir()) == []
    index = (tree / "connector_configs" / "__init__.py").read_text()
    assert "import corvel.connector_configs.model.source_a__1_0_0 as SourceA\n" in index


# --- a registry server that misbehaves ------------------------------------

class RawServer:
    """A TCP server on 127.0.0.1 that hands every connection to `serve`
    (on its own thread) and closes whatever is left open when closed."""

    def __init__(self, serve):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = f"http://127.0.0.1:{self.listener.getsockname()[1]}/registry.json"
        self.connections = []
        self.serve = serve
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.accept, daemon=True)
        self.thread.start()

    def accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:  # the listener was closed
                return
            self.connections.append(connection)
            self.serve(connection, self.done)

    def close(self):
        self.done.set()
        self.listener.shutdown(socket.SHUT_RDWR)
        self.listener.close()
        self.thread.join()
        for connection in self.connections:
            connection.close()


def read_request(connection):
    received = b""
    while b"\r\n\r\n" not in received:
        chunk = connection.recv(4096)
        if not chunk:
            break
        received += chunk
    return received


def stall(connection, done):
    read_request(connection)  # and never answer


def cut_short(connection, done):
    read_request(connection)
    body = json.dumps(DOCUMENT).encode()
    connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                       b"Content-Length: %d\r\n\r\n" % len(body) + body[: len(body) // 2])
    connection.shutdown(socket.SHUT_RDWR)
    connection.close()


class TimedRequests:
    """The module's `requests` with a short time-out; keeps what get raised."""

    def __init__(self):
        self.raised = []

    def get(self, url, **options):
        options["timeout"] = 0.5
        try:
            return requests.get(url, **options)
        except Exception as error:
            self.raised.append(error)
            raise


@pytest.mark.parametrize("serve, error", [
    (stall, requests.exceptions.ReadTimeout),
    (cut_short, requests.exceptions.ChunkedEncodingError),
], ids=["stalled", "cut short"])
def test_registry_server_faults_pass_through(serve, error, tree, rebind, monkeypatch):
    timed = TimedRequests()
    rebind(requests=timed)
    before = open_files()
    server = RawServer(serve)
    try:
        monkeypatch.setenv("AIRBYTE_LOCAL_REGISTRY", server.url)
        with pytest.raises(error) as raised:
            mg.generate_jsonschema_files(["source-a"])
        assert len(server.connections) == 1
    finally:
        server.close()
    assert not server.thread.is_alive()
    # the exception of requests.get itself; once the caller lets go of it
    # (its traceback holds the connection), nothing is left open
    assert len(timed.raised) == 1 and raised.value is timed.raised[0]
    del raised
    timed.raised.clear()
    gc.collect()
    assert open_files() == before
    assert list((tree / "connector_configs" / "jsonschema").iterdir()) == []


# --- a large registry -----------------------------------------------------

LARGE_ENTRIES = 400
DESCRIPTION = "0123456789abcdef" * 32_768  # 512 KiB per connector


def write_large_registry(path):
    """About 200 MB: LARGE_ENTRIES connectors, each with a long description."""
    quoted = json.dumps(DESCRIPTION)
    with open(path, "w", encoding="utf-8") as out:
        out.write('{"destinations": [], "sources": [')
        for number in range(LARGE_ENTRIES):
            out.write(("," if number else "") + '{"dockerRepository": "airbyte/source-%d", "dockerImageTag": "1",'
                      ' "spec": {"connectionSpecification": {"type": "object", "properties": {},'
                      ' "description": %s}}}' % (number, quoted))
        out.write("]}")
    return path.stat().st_size


def memory_figures(names):
    """Runs the export in this (forked) process; returns the resident size
    before and the peak resident size during it, in bytes."""
    def status(field):
        with open("/proc/self/status") as lines:
            for line in lines:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
        raise LookupError(field)

    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # the peak starts again from here
    before = status("VmRSS")
    written = mg.generate_jsonschema_files(names)
    return {"before": before, "peak": status("VmHWM"), "written": written}


def test_large_registry_memory_stays_proportional(tree, monkeypatch, tmp_path):
    path = tmp_path / "registry.json"
    size = write_large_registry(path)
    assert size > 200_000_000
    monkeypatch.setenv("AIRBYTE_LOCAL_REGISTRY", str(path))
    names = [f"source-{number}" for number in range(0, LARGE_ENTRIES, 40)]
    figures = in_child(lambda: memory_figures(names))
    assert figures["written"] == [f"source_{number}__1" for number in range(0, LARGE_ENTRIES, 40)]
    growth = figures["peak"] - figures["before"]
    print(f"registry {size / 1e6:.0f} MB, peak growth {growth / 1e6:.0f} MB ({growth / size:.2f}x)")
    assert growth < 6 * size
    written = json.loads(schema_text(tree, "source_40__1"))
    assert written["description"] == DESCRIPTION and written["title"] == "source-40-config"


def schema_text(tree, name):
    return (tree / "connector_configs" / "jsonschema" / f"{name}.json").read_text(encoding="utf-8")


# --- memory ----------------------------------------------------------------

@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator ends the process when an allocation fails")
def test_memory_running_out_in_the_const_rewrite_is_a_memory_error(tree, registry, rebind):
    registry(DOCUMENT)
    text = "[" + '{"const": 0},' * 4_000_000 + "{}]"  # the rewrite's member list needs 128 MB
    rebind(json=types.SimpleNamespace(load=json.load, dumps=lambda schema, indent: text))

    def with_little_memory_left():
        import resource
        with open("/proc/self/status") as lines:
            size = next(int(line.split()[1]) * 1024 for line in lines if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (size + 64_000_000, resource.RLIM_INFINITY))
        return attempt(lambda: mg.generate_jsonschema_files(["source-a"]))

    assert in_child(with_little_memory_left)["raised"] == "MemoryError"


# --- a run killed inside its commit ------------------------------------------

# corvel-generate, killed (SIGKILL) just before it moves a file of the name argv[1] into the tree
KILLED_BEFORE = """
import os, signal, sys
from pathlib import Path
from corvel import cli

target, replace = sys.argv[1], os.replace

def killing_replace(source, destination):
    if Path(destination).name == target and ".corvel-run" not in Path(destination).parts:
        os.kill(os.getpid(), signal.SIGKILL)
    replace(source, destination)

os.replace = killing_replace
sys.exit(cli.main(sys.argv[2:]))
"""


@pytest.mark.parametrize("killed_before", ["source_faker__9_9_9.py", "corvel.lock"],
                         ids=["a model moves", "the lock moves"])
def test_a_run_killed_in_its_commit_leaves_the_classes_importable_and_the_next_run_finishes_it(
        tmp_path, monkeypatch, capsys, killed_before):
    bundled = json.loads(cli.BUNDLED_REGISTRY.read_text(encoding="utf-8"))
    faker = next(e for e in bundled["sources"] if e["dockerRepository"] == "airbyte/source-faker")
    registries = {}
    for tag in ("7.2.1", "9.9.9"):
        registries[tag] = tmp_path / f"registry-{tag}.json"
        registries[tag].write_text(json.dumps({"sources": [dict(faker, dockerImageTag=tag)], "destinations": []}))
    project = tmp_path / "proj"
    (project / "src" / "app").mkdir(parents=True)
    (project / "pyproject.toml").write_text('[project]\nname = "app"\n\n[tool.corvel]\npackage = "app.configs"\n')
    package = project / "src" / "app" / "configs"
    monkeypatch.chdir(project)
    assert cli.main(["--registry", str(registries["7.2.1"]), "source-faker"]) == 0

    killed = run_process([sys.executable, "-c", KILLED_BEFORE, killed_before, "--spawn", "--registry",
                          str(registries["9.9.9"]), "--upgrade", "source-faker"], cwd=project, timeout=300)
    assert killed.returncode == -9, killed.stderr
    imported = run_python("from app.configs import SourceFakerConfig\nprint(SourceFakerConfig(count=2).count)",
                          path_entry=project / "src", cwd=tmp_path)
    assert imported.returncode == 0 and imported.stdout.split() == ["2"], imported.stderr

    capsys.readouterr()
    assert cli.main([]) == 0
    out = capsys.readouterr().out
    assert out.startswith(commit.FINISHED_NOTE + "\n"), out
    assert sorted(p.name for p in package.iterdir() if p.name.startswith(".")) == []
    assert sorted(p.name for p in (package / "model").glob("*.py")) == ["source_faker__9_9_9.py"]
