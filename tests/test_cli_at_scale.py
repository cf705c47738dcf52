"""corvel-generate over a whole registry: every connector accounted for, one registry read."""

import json
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest
from conftest import checker_crash, entry, mg, python_script_on_path

from corvel import cli
from corvel.registry import user_agent
from corvel.configs import forget_tree, import_tree

# Stands in for datamodel-codegen: logs its arguments and writes a model
# class named from the schema's title, as datamodel-codegen names it (not by
# corvel's own naming, which the index must agree with). A schema with a
# property "fail" makes it fail; one with "sleep" makes it note its process
# id and sleep.
FAKE_GENERATOR = """\
#!{python}
import json, os, sys, time
arguments = sys.argv[1:]
source, target = (arguments[arguments.index(option) + 1] for option in ("--input", "--output"))
with open(os.environ["GENERATOR_LOG"], "a", encoding="utf-8") as log:
    log.write(json.dumps(arguments) + "\\n")
with open(source, encoding="utf-8") as file:
    schema = json.load(file)
properties = schema["properties"]
if "fail" in properties:
    sys.exit("cannot generate this one")
if "sleep" in properties:
    open(os.path.join(os.environ["GENERATOR_PIDS"], str(os.getpid())), "w").close()
    time.sleep(120)
name = properties["connector_name"]["default"]
class_name = "".join(word.capitalize() for word in schema["title"].split("-"))  # source-gen-1-config: SourceGen1Config
with open(target, "w", encoding="utf-8") as model:
    model.write(f"from pydantic import BaseModel\\n\\nclass {{class_name}}(BaseModel):\\n    name: str = {{name!r}}\\n")
"""


@pytest.fixture(autouse=True)
def environment(monkeypatch, tmp_path):
    monkeypatch.setenv("PATH", os.environ.get("PATH", ""))
    monkeypatch.setenv("COLUMNS", "300")
    monkeypatch.chdir(tmp_path)  # where an expanded $(touch pwned) would leave its file
    saved = mg.CURRENT_DIR, mg.subprocess
    yield
    assert (mg.CURRENT_DIR, mg.subprocess) == saved
    assert not (tmp_path / "pwned").exists()


@pytest.fixture
def fake_generator(tmp_path, monkeypatch):
    """datamodel-codegen on PATH is the fake; returns its log of argument lists."""
    python_script_on_path(monkeypatch, tmp_path / "bin", "datamodel-codegen", FAKE_GENERATOR)
    log = tmp_path / "generator.log"
    monkeypatch.setenv("GENERATOR_LOG", str(log))
    return log


def run(capsys, *argv):
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def without(key, schema_path):
    """An entry whose schema lacks `key` at `schema_path`."""
    unusable = entry("airbyte/source-placeholder")
    holder = unusable
    for step in schema_path:
        holder = holder[step]
    del holder[key]
    return unusable


def test_all_connectors_of_a_large_registry_are_accounted_for(capsys, tmp_path, registry, fake_generator):
    sources = [entry(f"airbyte/source-gen-{n}", f"1.{n}.0") for n in range(200)]
    unusable = {
        "source-nospec": (without("spec", []), "it has no spec object"),
        "source-nocs": (without("connectionSpecification", ["spec"]), "its spec has no connectionSpecification object"),
        "destination-noprops": (
            without("properties", ["spec", "connectionSpecification"]),
            "its connectionSpecification has no properties object",
        ),
        "source-quote": (entry("", "1'2"), "is no Python module name"),
        "source-tab": (entry("", "1\t2"), "is no Python module name"),
        "source-subshell": (entry("", "1$(touch pwned)"), "is no Python module name"),
        "source-long": (entry("", "9" * 250), "cannot be a file name"),
        "source-twin": (without("spec", []), "it has no spec object"),
    }
    for name, (unusable_entry, _) in unusable.items():
        unusable_entry["dockerRepository"] = f"airbyte/{name}"
    fine = [entry("airbyte/source-blank", "1 2"), entry("airbyte/source-été", "2.0"), entry("airbyte/source-twin", "9")]
    document = {
        "sources": sources[:100] + [e for n, (e, _) in unusable.items() if n != "destination-noprops"] + fine + sources[100:],
        "destinations": [entry("airbyte/destination-gen", "3.0"), unusable["destination-noprops"][0]],
    }
    registry(document)
    out_dir = tmp_path / "out 'q'\t$(touch pwned) ü"
    report = tmp_path / "report.json"

    status, out, _ = run(capsys, "--all", "--output-dir", str(out_dir), "--report", str(report))

    assert status == 1
    listed_first = out[: out.index("203 added; --verbose lists them")]
    records = json.loads(report.read_text(encoding="utf-8"))["connectors"]
    left_out = {(r["name"], r["version"]): r["reason"] for r in records if r["status"] == "left out"}
    for name, (unusable_entry, reason) in unusable.items():
        assert name in listed_first and reason in left_out[name, unusable_entry["dockerImageTag"]], name
    assert "of the same name, is unusable" in left_out["source-twin", "9"]
    written = [r for r in records if r["status"] == "written"]
    assert len(written) == 203 and len(records) == 203 + len(unusable) + 1
    assert f"203 of {len(records)} connector models written" in out
    models = sorted((out_dir / "connector_configs" / "model").glob("*.py"))
    assert sorted(r["model_path"] for r in written) == [str(m) for m in models]
    for record in written:
        assert f"class {record['class_name']}(" in Path(record["model_path"]).read_text(encoding="utf-8")
    assert {r["versioned_name"] for r in written} >= {"source_blank__1_2", "source_été__2_0"}
    runs = [json.loads(line) for line in fake_generator.read_text(encoding="utf-8").splitlines()]
    outputs = [arguments[arguments.index("--output") + 1] for arguments in runs]
    # paths came whole (into the run's staging tree beside the real one)
    assert sorted(os.path.basename(o) for o in outputs if o.startswith(str(out_dir))) == [m.name for m in models]
    try:
        index = import_tree(out_dir)
        assert index.SourceGen199Config().name == "source-gen-199" and index.SourceÉtéConfig
    finally:
        forget_tree()


def test_an_entry_without_a_docker_repository_stops_the_run_by_position(capsys, tmp_path, registry):
    registry({"sources": [entry("airbyte/source-a"), {"dockerImageTag": "1"}], "destinations": []})
    status, out, err = run(capsys, "source-a", "--output-dir", str(tmp_path / "out"), "--report", str(tmp_path / "r"))
    assert status == 1 and "entry 1 of sources" in err and "no dockerRepository" in err
    assert not (tmp_path / "out").exists()
    assert json.loads((tmp_path / "r").read_text())["error"] in err


def test_an_http_registry_is_fetched_once_per_run(capsys, tmp_path, registry_server, monkeypatch):
    registry_server.body = json.dumps({"sources": [entry("airbyte/source-served", "4.5.6")], "destinations": []}).encode()
    temporary = tmp_path / "tmp"  # the run's own: another corvel on the machine leaves its files elsewhere
    temporary.mkdir()
    monkeypatch.setenv("TMPDIR", str(temporary))
    monkeypatch.setattr(tempfile, "tempdir", None)  # read again from TMPDIR
    status, out, _ = run(capsys, "source-served", "--output-dir", str(tmp_path / "out"))
    assert status == 0 and "1 of 1 connector models written" in out
    assert [r["headers"]["User-Agent"] for r in registry_server.requests] == [user_agent()]
    assert list(temporary.glob("corvel-registry-*")) == []


def tree_files(root: Path) -> dict[str, bytes]:
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def test_the_cache_serves_whole_entries_only_and_keeps_no_failure(capsys, tmp_path, registry, fake_generator, model_cache_home):
    failing = {"type": "object", "properties": {"fail": {"type": "string"}}}
    registry({"sources": [entry(f"airbyte/source-c{n}") for n in range(4)] + [entry("airbyte/source-f", schema=failing)],
              "destinations": []})
    argv = ["--all", "--output-dir", str(tmp_path / "out")]
    first_status, first_out, _ = run(capsys, *argv)
    written = tree_files(tmp_path / "out")
    entries = sorted(p for p in model_cache_home.rglob("*") if p.is_file() and "imports-checked" not in p.parts)
    assert first_status == 1 and "from the cache" not in first_out and len(entries) == 4  # none for the failed run
    entries[0].write_bytes(entries[0].read_bytes()[:-2] + b"#\n")
    entries[1].write_bytes(entries[1].read_bytes()[:70])

    for cached in (2, 4):  # the damaged entries are run again and replaced
        status, out, _ = run(capsys, *argv)
        assert status == 1 and f"{cached} of the models written came from the cache" in out
        assert tree_files(tmp_path / "out") == written


def test_a_schema_that_refers_to_another_document_is_never_served_from_the_cache(capsys, tmp_path, registry, fake_generator):
    def referring(reference):
        return {"type": "object", "definitions": {"x": {"type": "string"}}, "properties": {"a": {"$ref": reference}}}

    registry({"sources": [entry("airbyte/source-plain"), entry("airbyte/source-local", schema=referring("#/definitions/x")),
                          entry("airbyte/source-file-ref", schema=referring("shared.json#/x")),
                          entry("airbyte/source-url-ref", schema=referring("https://example.invalid/x.json"))],
              "destinations": []})
    runs = [run(capsys, "--all", "--output-dir", str(tmp_path / f"out{n}")) for n in range(2)]
    assert all(status == 0 and "4 of 4 connector models written" in out for status, out, _ in runs)
    assert "from the cache" not in runs[0][1] and "2 of the models written came from the cache" in runs[1][1]


def test_two_runs_at_once_share_one_cache(capsys, tmp_path, registry, fake_generator):
    registry({"sources": [entry(f"airbyte/source-c{n}") for n in range(12)], "destinations": []})
    command = [sys.executable, "-m", "corvel.cli", "--all", "--jobs", "1", "--output-dir"]
    processes = [
        subprocess.Popen([*command, str(tmp_path / f"out{n}")], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        for n in range(2)
    ]
    for process in processes:
        _, err = process.communicate(timeout=300)
        assert process.returncode == 0 or checker_crash.only_the_checker_crashed(process.returncode, err), err
    status, out, _ = run(capsys, "--all", "--output-dir", str(tmp_path / "out2"))
    assert status == 0 and "12 of the models written came from the cache" in out
    assert tree_files(tmp_path / "out0") == tree_files(tmp_path / "out1") == tree_files(tmp_path / "out2")


def processes_marked(marker: bytes) -> list[int]:
    """Live processes whose environment holds `marker`."""
    found = []
    for entry_dir in Path("/proc").glob("[0-9]*"):
        try:
            marked = marker in (entry_dir / "environ").read_bytes().split(b"\0")
            alive = (entry_dir / "stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
        except (OSError, IndexError):
            continue
        if marked and alive and int(entry_dir.name) != os.getpid():
            found.append(int(entry_dir.name))
    return found


def test_an_interrupt_with_two_runs_in_flight_leaves_no_process(tmp_path, registry, fake_generator, monkeypatch,
                                                                sigint_interrupts):
    sleeping = {"type": "object", "properties": {"sleep": {"type": "string"}}}
    registry({"sources": [entry(f"airbyte/source-s{n}", schema=sleeping) for n in range(4)], "destinations": []})
    pids = tmp_path / "pids"
    pids.mkdir()
    monkeypatch.setenv("GENERATOR_PIDS", str(pids))
    monkeypatch.setenv("CORVEL_TEST_RUN", str(tmp_path))  # inherited by every process of the run
    marker = f"CORVEL_TEST_RUN={tmp_path}".encode()
    command = [sys.executable, "-m", "corvel.cli", "--all", "--jobs", "2", "--no-cache", "--output-dir", str(tmp_path / "out")]
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 120
        while len(list(pids.iterdir())) < 2 and process.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        assert len(list(pids.iterdir())) == 2
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=60)
    finally:
        process.kill()
        process.communicate()
    assert process.returncode == 130 and "interrupted" in err, err
    deadline = time.monotonic() + 30
    while processes_marked(marker) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert processes_marked(marker) == []
