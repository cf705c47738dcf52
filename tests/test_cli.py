"""corvel-generate: command line, registry listing, generator runs and exit status."""

import json
import os
import socket
import sys

import pytest
from conftest import entry, mg, run_process

from corvel import cli, generation, generator_boundary, registry
from corvel.configs import forget_tree, import_tree

BUNDLED = json.loads(cli.BUNDLED_REGISTRY.read_text(encoding="utf-8"))


@pytest.fixture(autouse=True)
def environment(monkeypatch):
    """The command sets PATH and the registry variable; both are put back after each test (the registry is the
    bundled one unless a test names another)."""
    monkeypatch.setenv("PATH", os.environ.get("PATH", ""))
    monkeypatch.setenv("COLUMNS", "200")  # rich wraps tables at 80 columns when not on a terminal
    saved = mg.CURRENT_DIR, mg.subprocess
    yield
    assert (mg.CURRENT_DIR, mg.subprocess) == saved


def run(capsys, *argv):
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize(
    "argv, status",
    [(["--help"], 0), (["--list", "source-file"], 2), (["--all", "source-file"], 2), (["--bogus"], 2),
     (["--frozen", "source-file"], 2), (["--frozen", "--upgrade"], 2), (["--frozen", "--all"], 2),
     (["source-file", "--remove", "source-file"], 2)],
)
def test_command_line(capsys, argv, status):
    assert run(capsys, *argv)[0] == status


@pytest.fixture
def airbyte_registry_at(monkeypatch):
    """Makes URL the registry airbyte reads when AIRBYTE_LOCAL_REGISTRY is unset, and unsets it."""
    from corvel.compat import registry_url

    def point(url):
        monkeypatch.delenv(cli.REGISTRY_VARIABLE, raising=False)
        monkeypatch.setitem(registry_url.__globals__, "_REGISTRY_URL", url)
        registry.airbyte_registry_url.cache_clear()

    yield point
    registry.airbyte_registry_url.cache_clear()


@pytest.mark.parametrize("served", [True, False], ids=["served", "unreachable"])
def test_the_default_is_the_registry_airbyte_reads(capsys, tmp_path, registry_server, airbyte_registry_at, served):
    registry_server.body = json.dumps({"sources": [entry("airbyte/source-served")], "destinations": []}).encode()
    with socket.socket() as closed:  # a port nothing listens on
        closed.bind(("127.0.0.1", 0))
        url = registry_server.url if served else f"http://127.0.0.1:{closed.getsockname()[1]}/registry.json"
    airbyte_registry_at(url)
    status, out, err = run(capsys, "source-served", "--output-dir", str(tmp_path))
    if served:
        assert status == 0 and f"1 of 1 connector models written to {tmp_path}/connector_configs from airbyte's " \
            f"registry ({url})" in out
    else:
        assert status == 1 and err.startswith(f"corvel-generate: airbyte's registry ({url}): cannot read it: ")
        assert "--registry FILE" in err and len(err.splitlines()) == 1
    assert cli.REGISTRY_VARIABLE not in os.environ


def test_the_default_registry_switched_off_is_named_with_the_way_out(no_network):
    env = {k: v for k, v in os.environ.items() if k != cli.REGISTRY_VARIABLE}
    done = run_process([sys.executable, "-m", "corvel.cli", "--list"], env={**env, "AIRBYTE_OFFLINE_MODE": "1"})
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.startswith("corvel-generate: airbyte's registry (https://") and "--frozen" in done.stderr


@pytest.mark.parametrize("argv, table, listed", [
    (["--registry", "bundled"], None, "source-faker"), (["--registry", "./bundled"], None, "source-local"),
    ([], 'registry = "bundled"', "source-faker"), ([], 'registry = "./bundled"', "source-local"),
], ids=["name", "file", "name in the table", "file in the table"])
def test_the_bundled_registry_is_chosen_by_name_and_a_file_so_named_by_path(capsys, tmp_path, monkeypatch, argv,
                                                                             table, listed):
    (tmp_path / "bundled").write_text(json.dumps({"sources": [entry("airbyte/source-local")], "destinations": []}))
    if table:
        (tmp_path / "pyproject.toml").write_text(f"[tool.corvel]\n{table}\n")
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv(cli.REGISTRY_VARIABLE)
    status, out, _ = run(capsys, "--list", *argv)
    assert status == 0 and listed in out
    assert ("corvel's bundled registry" in out) == (listed == "source-faker")


def test_list_fetches_a_registry_url_like_airbyte(capsys, registry_server):
    registry_server.body = json.dumps({"sources": [entry("airbyte/source-served", "4.5.6")], "destinations": []}).encode()
    status, out, _ = run(capsys, "--list")
    assert status == 0 and "source-served" in out and "4.5.6" in out
    assert registry_server.requests[0]["headers"]["User-Agent"].startswith("PyAirbyte/")


@pytest.mark.parametrize(
    "location, message",
    [("0", "switched off"), ("{tmp}/absent.json", "cannot read"), ("{tmp}/broken.json", "cannot read"), ("{tmp}/list.json", "not a connector registry")],
)
def test_unusable_registries_fail_with_a_message(capsys, tmp_path, location, message):
    (tmp_path / "broken.json").write_text("{not json")
    (tmp_path / "list.json").write_text("[]")
    for argv in (["--list"], ["source-file", "--output-dir", str(tmp_path / "out")]):
        status, _, err = run(capsys, "--registry", location.format(tmp=tmp_path), *argv)
        assert status == 1 and message in err
    assert not (tmp_path / "out" / "connector_configs" / "__init__.py").exists()


def test_missing_generator_is_reported_once_before_anything_runs(capsys, tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", "")
    monkeypatch.setattr(generator_boundary, "scripts_directory", lambda: str(tmp_path))
    status, out, err = run(capsys, "source-file", "--output-dir", str(tmp_path / "out"))
    assert status == 1 and err.count("datamodel-codegen was not found on PATH") == 1 and out == ""
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("mode", [[], ["--spawn"]], ids=["warm", "shell"])
def test_generator_beside_the_interpreter_is_put_on_the_path_of_its_runs_only(capsys, tmp_path, monkeypatch, mode):
    monkeypatch.setenv("PATH", "/nowhere")
    status, out, err = run(capsys, "source-file", "--output-dir", str(tmp_path), *mode)
    assert "went through the shell" not in err  # the warm generator finds it there too
    assert status == 0, out
    assert (tmp_path / "connector_configs" / "model" / "source_file__0_5_13.py").is_file()
    assert os.environ["PATH"] == "/nowhere"  # the caller's own stays as it was


def test_generates_models_into_the_output_dir(capsys, tmp_path):
    status, out, _ = run(capsys, "source-file", "destination-csv", "--output-dir", str(tmp_path), "--verbose")
    tree = tmp_path / "connector_configs"
    assert status == 0, out
    assert "2 of 2 connector models written" in out and "SourceFileConfig" in out and "DestinationCsvConfig" in out
    assert sorted(p.name for p in (tree / "model").glob("*.py")) == ["destination_csv__1_0_0.py", "source_file__0_5_13.py"]
    try:
        index = import_tree(tmp_path)
        config = index.SourceFileConfig(dataset_name="d", format="csv", url="https://example.com/d.csv", provider={"storage": "HTTPS"})
        assert config.connector_name == "source-file" and index.DestinationDatabricks.__name__ == "DatabricksCache"
    finally:
        forget_tree()


def test_failed_runs_and_unknown_names_make_the_exit_status(capsys, tmp_path, registry):
    broken = {"type": "object", "properties": {"a": {"$ref": "missing-file.json#/x"}}}
    registry({"sources": [entry("airbyte/source-good", "1.0"), entry("airbyte/source-broken", "2.0", broken)], "destinations": []})
    status, out, _ = run(capsys, "source-good", "source-broken", "source-nope", "--output-dir", str(tmp_path))
    assert status == 1
    assert "command failed with return code: " in out  # the module's own report is passed through
    assert "1 of 3 connector models written" in out and "not in the registry" in out
    assert (tmp_path / "connector_configs" / "model" / "source_good__1_0.py").exists()


def test_nothing_matched_leaves_the_tree_alone_and_names_the_closest(capsys, tmp_path):
    status, out, _ = run(capsys, "source-fakr", "--output-dir", str(tmp_path))
    assert status == 1 and "not in the registry: did you mean source-faker?" in out
    assert f"Nothing was generated from corvel's bundled registry ({cli.BUNDLED_REGISTRY})" in out
    assert not (tmp_path / "connector_configs" / "__init__.py").exists()


@pytest.mark.parametrize("verbose", [False, True], ids=["quiet", "verbose"])
def test_a_fault_while_generating_keeps_its_traceback_for_the_maintainer(capsys, tmp_path, monkeypatch, verbose):
    def fault(*_):
        raise RuntimeError("a fault of the run itself")

    monkeypatch.setattr(generation, "_run_module", fault)
    report = tmp_path / "report.json"
    argv = ["source-file", "--output-dir", str(tmp_path / "out"), "--report", str(report), *(["--verbose"] * verbose)]
    status, _, err = run(capsys, *argv)
    assert status == 1
    assert "generation stopped: RuntimeError: a fault of the run itself" in err
    assert ("Traceback (most recent call last)" in err) == verbose
    assert "in fault" in json.loads(report.read_text(encoding="utf-8"))["traceback"]
