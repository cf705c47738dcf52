"""corvel on every supported airbyte release: the registry functions the
generator module imports, quiet output, and connectors that airbyte installs
from a virtual environment that is not activated. The suite runs these on the
newest locked airbyte and, with `make test-oldest`, on the oldest."""

import json
import os
import platform
import socket
import sys
import textwrap
from pathlib import Path

import pytest
from conftest import run_process, run_python

from corvel import cli
from corvel.compat import SUPPORTED_AIRBYTE

REPOSITORY = Path(__file__).parents[1]
FAKER_LOCK = REPOSITORY / "tools" / "connectors" / "source-faker.txt"
PREVIOUS_FAKER_LOCK = REPOSITORY / "tools" / "connectors" / "previous" / "source-faker.txt"


@pytest.mark.parametrize("airbyte_first", [False, True], ids=["corvel-first", "airbyte-first"])
def test_the_module_gets_airbytes_own_registry_functions(airbyte_first):
    done = run_python(
        f"""
        import importlib
        if {airbyte_first}:
            import airbyte.sources.registry
        import corvel.model_generator as mg
        try:
            home = importlib.import_module("airbyte.registry")
        except ImportError:  # releases before 0.33.1 keep them in the old module
            home = importlib.import_module("airbyte.sources.registry")
        print(mg._get_registry_url is home._get_registry_url, mg._is_registry_disabled is home._is_registry_disabled)
        """
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["True", "True"]


def test_an_airbyte_without_the_registry_functions_names_the_supported_releases():
    done = run_python(
        """
        import importlib
        for name in ("airbyte.registry", "airbyte.sources.registry"):
            try:
                module = importlib.import_module(name)
            except ImportError:
                continue
            for function in ("_get_registry_url", "_is_registry_disabled"):
                vars(module).pop(function, None)
        import corvel.model_generator
        """
    )
    assert done.returncode == 1
    assert f"UnsupportedAirbyte: corvel supports airbyte {SUPPORTED_AIRBYTE}; the installed airbyte" in done.stderr


@pytest.mark.parametrize("report_to_stdout", [True, False], ids=["report", "summary"])
def test_standard_output_holds_only_corvel_generates_own(tmp_path, report_to_stdout):
    # a new home: airbyte's first use there prints its telemetry notice
    environment = {key: value for key, value in os.environ.items() if key != "DO_NOT_TRACK"}
    environment.update(HOME=str(tmp_path / "home"), COLUMNS="200")
    script = Path(sys.executable).parent / "corvel-generate"
    arguments = [str(script), "--registry", str(cli.BUNDLED_REGISTRY), "--output-dir", str(tmp_path / "tree"),
                 "--jobs", "1", "source-faker"]
    done = run_process(arguments + (["--report", "-"] if report_to_stdout else []), env=environment, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "FutureWarning" not in done.stderr
    if report_to_stdout:
        report = json.loads(done.stdout)
        assert [record["status"] for record in report["connectors"]] == ["written"] and report["exit_status"] == 0
    else:
        assert "Airbyte" not in done.stdout and "1 of 1 connector models written to " in done.stdout, done.stdout


def installer_environment(**extra):
    """The environment of a process in which airbyte installs connectors itself."""
    environment = {
        key: value for key, value in os.environ.items() if key not in ("VIRTUAL_ENV", "LD_PRELOAD")
    }  # the connector's interpreter runs none of our code: it starts without the sanitizer runtime
    environment.update(
        PATH=os.pathsep.join(["/usr/bin", "/bin"]),  # neither uv nor pip of this environment
        # installs are pinned by the locks; a cache in build/ keeps repeated runs from downloading again
        UV_CACHE_DIR=str(REPOSITORY / "build" / "installer-cache" / "uv"),
        PIP_CACHE_DIR=str(REPOSITORY / "build" / "installer-cache" / "pip"),
        AIRBYTE_LOCAL_REGISTRY=str(cli.BUNDLED_REGISTRY),
        **extra,
    )
    return environment


def run_with_faker(tmp_path, tree, get_source_arguments, **extra_environment):
    """Runs source-faker through corvel.get_source in a new process; its stdout's last word is the version that ran."""
    done = run_process(
        [sys.executable, "-c", textwrap.dedent(f"""
        from pathlib import Path
        import corvel
        config = corvel.config_class("source-faker", tree={str(tree)!r})(count=3, seed=1)
        source = corvel.get_source(config, install_root=Path({str(tmp_path / "connectors")!r}),
                                   {get_source_arguments} streams=["users"])
        source.check()
        print(source.executor.get_installed_version(recheck=True))
        """)],
        cwd=tmp_path,
        env=installer_environment(**extra_environment),
        timeout=600,
    )
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-3000:]
    return done.stdout.split()[-1]


def locked_version(lock: Path) -> str:
    return lock.read_text().split("airbyte-source-faker==")[1].split()[0]


@pytest.mark.pypi
def test_airbyte_installs_a_connector_from_a_venv_that_is_not_activated(tmp_path):
    tree = tmp_path / "tree"
    assert cli.main(["--registry", str(cli.BUNDLED_REGISTRY), "--output-dir", str(tree), "source-faker"]) == 0
    assert run_with_faker(tmp_path, tree, f'pip_url="-r {FAKER_LOCK}",') == locked_version(FAKER_LOCK)
    venv = tmp_path / "connectors" / ".venv-source-faker"
    assert (venv / "bin" / "source-faker").exists()
    # made from this interpreter, not from whichever Python the installer would find first
    assert platform.python_version() in (venv / "pyvenv.cfg").read_text(encoding="utf-8")


@pytest.mark.pypi
def test_the_connector_version_the_lock_names_is_the_one_that_runs(tmp_path):
    previous = locked_version(PREVIOUS_FAKER_LOCK)
    document = json.loads(cli.BUNDLED_REGISTRY.read_text(encoding="utf-8"))
    faker = next(e for e in document["sources"] if e["dockerRepository"] == "airbyte/source-faker")
    faker["dockerImageTag"] = previous
    registry = tmp_path / "registry.json"
    registry.write_text(json.dumps(document), encoding="utf-8")
    tree = tmp_path / "tree"
    assert cli.main(["--registry", str(registry), "--output-dir", str(tree), "source-faker"]) == 0
    # the newest version is installed already, the way airbyte leaves a connector it ran before
    newest = locked_version(FAKER_LOCK)
    assert run_with_faker(tmp_path, tree, f'pip_url="-r {FAKER_LOCK}",') == newest != previous
    # the lock's version replaces it; the installer's resolve is held to that version's own lock
    constraint = {"UV_CONSTRAINT": str(PREVIOUS_FAKER_LOCK), "PIP_CONSTRAINT": str(PREVIOUS_FAKER_LOCK)}
    assert run_with_faker(tmp_path, tree, "", **constraint) == previous


def closed_port_url() -> str:
    """An http URL on 127.0.0.1 at a port nothing listens on: a registry that refuses every connection."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return f"http://127.0.0.1:{probe.getsockname()[1]}/registry.json"


@pytest.mark.reads_through_airbyte
@pytest.mark.parametrize("registry", ["airbyte's own", "refusing"])
def test_a_locked_connector_runs_with_no_registry_at_hand(tmp_path, monkeypatch, no_network, registry):
    tree = tmp_path / "tree"
    assert cli.main(["--registry", str(cli.BUNDLED_REGISTRY), "--output-dir", str(tree), "source-faker"]) == 0
    monkeypatch.delenv("AIRBYTE_OFFLINE_MODE", raising=False)
    monkeypatch.delenv("AIRBYTE_LOCAL_REGISTRY", raising=False)
    if registry == "refusing":
        monkeypatch.setenv("AIRBYTE_LOCAL_REGISTRY", closed_port_url())
    # the connector pinned under the install directory, at the version the bundled registry's entry names
    done = run_python(f"""
        import corvel
        config = corvel.config_class("source-faker", tree={str(tree)!r})(count=3, seed=1)
        source = corvel.get_source(config, streams=["users"], install_if_missing=False)
        print(len(list(source.get_records("users"))), source.executor.get_installed_version(recheck=True))
        """, cwd=tmp_path)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.split()[-2:] == ["3", locked_version(FAKER_LOCK)]
