"""The warm generator: the same answers as the shell, run after run, and nothing left running."""

import copy
import json
import os
import re
import shutil
import shlex
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest
from conftest import python_script_on_path, run_process

from corvel import cli
from corvel.fast_mode import WarmGenerator, WarmPool
from corvel.generator_boundary import SHELL, WARM, Request, console_script, shell_answer

SHELL_OPTIONS = {"shell": True, "capture_output": True, "text": True, "check": True}

FAKE_SCRIPT = """\
#!{python}
import json, os, sys, time
# state a warm interpreter must not carry over to the next run
json.runs_seen = getattr(json, "runs_seen", 0) + 1
mode = sys.argv[1]
print(f"run {{json.runs_seen}} in {{os.getcwd()}} with {{os.environ.get('FAKE_VAR')}} {{sys.argv[1:]}} é", end="\\r\\n")
print("to stderr ✓", file=sys.stderr)
if mode == "exit":
    sys.exit(int(sys.argv[2]))
if mode == "message":
    sys.exit("a message for the user")
if mode == "raise":
    raise ValueError("boom")
if mode == "signal":
    sys.stdout.flush()
    os.kill(os.getpid(), 15)
if mode == "sleep":
    open(sys.argv[2], "w").write(str(os.getpid()))
    time.sleep(60)
"""


@pytest.fixture
def fake_bin(tmp_path, monkeypatch):
    """A directory on PATH with a Python console script `fakegen` for this interpreter."""
    return python_script_on_path(monkeypatch, tmp_path / "bin", "fakegen", FAKE_SCRIPT).parent


@pytest.fixture
def warm():
    generator = WarmGenerator()
    yield generator
    generator.close()


def request(command: str, cwd) -> Request:
    """A request of COMMAND as the boundary makes one."""
    words = shlex.split(command)
    env = dict(os.environ)
    return Request("x", "", "", command, tuple(words[1:]), str(cwd), env, console_script(words[0], env["PATH"]))


def outcome(answer):
    """What the module sees of a run: the return value or the CalledProcessError of subprocess.run."""
    try:
        result = answer()
    except subprocess.CalledProcessError as error:
        return "raised", error.returncode, error.cmd, error.stdout, error.stderr
    return "returned", result.returncode, result.args, result.stdout, result.stderr


def through(runner, command, cwd, **options):
    return outcome(lambda: shell_answer(command, options, runner.run(request(command, cwd))))


def in_shell(command, cwd, **options):
    return outcome(lambda: subprocess.run(command, cwd=cwd, **options))


@pytest.mark.parametrize(
    "arguments, options",
    [
        ("ok", SHELL_OPTIONS),
        ("exit 3", SHELL_OPTIONS),
        ("exit 300", dict(SHELL_OPTIONS, check=False)),
        ("message", SHELL_OPTIONS),
        ("raise", SHELL_OPTIONS),
        ("signal", SHELL_OPTIONS),
        ("exit 2", dict(SHELL_OPTIONS, text=False)),
    ],
)
def test_warm_runs_answer_as_the_shell_does(fake_bin, warm, tmp_path, monkeypatch, arguments, options):
    monkeypatch.setenv("FAKE_VAR", "from the caller")
    command = f"fakegen {arguments} '{tmp_path}/a file'"
    assert through(warm, command, tmp_path, **options) == in_shell(command, tmp_path, **options)
    assert warm.run(request(command, tmp_path)).via == WARM


def test_no_run_sees_what_an_earlier_one_left(fake_bin, warm, tmp_path, monkeypatch):
    answers = []
    for number in range(3):
        monkeypatch.setenv("FAKE_VAR", str(number))
        answers.append(warm.run(request("fakegen ok", tmp_path)).stdout.decode())
        tmp_path = tmp_path / "deeper"
        tmp_path.mkdir()
    assert [answer.split(" ")[1] for answer in answers] == ["1", "1", "1"]
    assert [answer.split(" ")[5] for answer in answers] == ["0", "1", "2"]  # the request's environment, each time


def test_other_requests_go_through_the_shell(fake_bin, warm, tmp_path):
    other = fake_bin / "othergen"
    other.write_text("#!/bin/sh\necho other \"$@\"; exit 4\n")
    other.chmod(0o755)
    for command in ["othergen a b", "missing-generator --input x"]:
        assert through(warm, command, tmp_path, **SHELL_OPTIONS) == in_shell(command, tmp_path, **SHELL_OPTIONS)
        assert warm.run(request(command, tmp_path)).via == SHELL


def test_a_pool_answers_each_request_with_its_own_run(fake_bin, tmp_path):
    requests = [request(f"fakegen ok --input '{tmp_path}/{name}.json'", tmp_path) for name in "abc"]
    with WarmPool(2) as pool:
        pool.expect(requests)
        answers = [pool.run(r).stdout for r in reversed(requests)]  # asked for in another order than expected
    assert [[name for name in "abc" if f"/{name}.json'" in answer.decode()] for answer in answers] == [["c"], ["b"], ["a"]]


def alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return Path(f"/proc/{pid}/stat").read_text().split()[2] != "Z"


def ends(pid: int) -> bool:
    """Whether PID ends within 10 s: a killed process group's members die when the kernel gets to them."""
    deadline = time.monotonic() + 10
    while alive(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    return not alive(pid)


def test_an_interrupted_run_ends_the_warm_process_and_its_child(fake_bin, warm, tmp_path):
    warm.run(request("fakegen ok", tmp_path))
    server = warm._server.pid
    pid_file = tmp_path / "child.pid"

    def interrupt(*_):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 2.0)
        with pytest.raises(KeyboardInterrupt):
            warm.run(request(f"fakegen sleep {pid_file}", tmp_path))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert not alive(server) and ends(int(pid_file.read_text()))
    assert warm.run(request("fakegen ok", tmp_path)).returncode == 0  # a new warm process takes over


def test_a_pool_stops_for_an_interrupt_that_another_thread_received(fake_bin, tmp_path, sigint_interrupts):
    pid_file = tmp_path / "child.pid"

    def interrupt_this_thread():  # as the kernel may do with a SIGINT sent to the process
        deadline = time.monotonic() + 60
        while not pid_file.exists() and time.monotonic() < deadline:
            time.sleep(0.02)
        signal.pthread_kill(threading.get_ident(), signal.SIGINT)

    helper = threading.Thread(target=interrupt_this_thread)
    with WarmPool(1) as pool:
        helper.start()
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            pool.run(request(f"fakegen sleep {pid_file}", tmp_path))
    helper.join()
    assert time.monotonic() - started < 30  # the run itself would sleep for 60 s
    assert ends(int(pid_file.read_text()))


def test_closing_leaves_no_process(fake_bin, tmp_path):
    with WarmGenerator() as warm:
        warm.run(request("fakegen ok", tmp_path))
        server = warm._server
    assert server.returncode == 0 and not alive(server.pid)


# Both modes of corvel-generate on a dozen connectors, one of which the
# generator rejects: every file, the output and the exit status must match.

def dozen_connectors() -> dict:
    bundled = json.loads(cli.BUNDLED_REGISTRY.read_text(encoding="utf-8"))
    document = copy.deepcopy(bundled)

    def add(kind, name, schema):
        document[kind].append(
            {"dockerRepository": f"airbyte/{name}", "dockerImageTag": "0.1.0", "spec": {"connectionSpecification": schema}}
        )

    base = bundled["sources"][0]["spec"]["connectionSpecification"]
    add("sources", "source-dangling", {"type": "object", "properties": {"a": {"$ref": "#/definitions/absent"}}})
    add("sources", "source-broken", {"type": "object", "properties": {"a": {"type": "object", "required": 5}}})
    add("sources", "source-copy", dict(copy.deepcopy(base), description="Ünïcode ✓ and 🚀, \"quoted\"\n"))
    add("destinations", "destination-options", {
        "type": "object",
        "required": ["mode"],
        "properties": {
            "mode": {"oneOf": [
                {"title": "A, or B", "properties": {"kind": {"const": "a,b"}, "size": {"type": "integer", "default": 3}}},
                {"title": "Nothing", "properties": {"kind": {"const": None}}},
                {"title": "Listed", "properties": {"kind": {"const": [1, {"x": "|"}]}}},
            ]},
            "rows": {"type": "array", "items": {"type": "object", "properties": {"name": {"type": "string"}}}},
        },
    })
    add("destinations", "destination-empty", {"type": "object", "properties": {}})
    return document


def run_cli(registry: Path, out_dir: Path, names: list[str], *extra: str):
    if out_dir.exists():
        shutil.rmtree(out_dir)
    env = dict(os.environ, COLUMNS="200", PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")
    done = run_process(
        [sys.executable, "-m", "corvel.cli", "--registry", str(registry), "--output-dir", str(out_dir), *names, *extra],
        env=env, timeout=600,
    )
    files = {str(p.relative_to(out_dir)): p.read_bytes() for p in sorted(out_dir.rglob("*")) if p.is_file()}
    elapsed = re.compile(r"\d+:\d\d:\d\d$", re.MULTILINE)  # the progress bar's clock
    return done.returncode, elapsed.sub("-:--:--", done.stdout), done.stderr, files


def test_parallel_cached_and_spawned_generation_write_the_same_bytes(tmp_path):
    document = dozen_connectors()
    registry = tmp_path / "registry.json"
    registry.write_text(json.dumps(document), encoding="utf-8")
    names = [e["dockerRepository"].removeprefix("airbyte/") for kind in ("sources", "destinations") for e in document[kind]]
    assert len(names) == 12
    cache = ["--cache-dir", str(tmp_path / "cache")]

    runs = {
        "jobs 2, empty cache": run_cli(registry, tmp_path / "out", names, "--jobs", "2", *cache),
        "jobs 1": run_cli(registry, tmp_path / "out", names, "--jobs", "1", "--no-cache"),
        "spawn": run_cli(registry, tmp_path / "out", names, "--spawn"),
        "jobs 2, full cache": run_cli(registry, tmp_path / "out", names, "--jobs", "2", *cache),
    }

    status, stdout, stderr, files = runs["spawn"]
    assert status == 1 and "command failed with return code: 2" in stdout and "11 of 12" in stdout
    assert len([name for name in files if name.startswith("connector_configs/model/")]) == 11
    cache_line = "11 of the models written came from the cache\n"
    cached = runs["jobs 2, full cache"]
    assert cache_line in cached[1]
    runs["jobs 2, full cache"] = (cached[0], cached[1].replace(cache_line, ""), *cached[2:])
    for label, run in runs.items():
        assert run[:3] == runs["spawn"][:3], label
        assert run[3].keys() == files.keys(), label
        assert [name for name in files if files[name] != run[3][name]] == [], label
