"""What an installed corvel says about itself (--version, the report's
versions) and what it does where the installed package cannot be written."""

import json
import os
import platform
import shutil
import sys
import tomllib
from importlib import metadata
from pathlib import Path

import pytest
from conftest import run_process, run_python

from corvel import cli, installation

ROOT = Path(__file__).resolve().parents[1]
READ_ONLY = Path(__file__).resolve().parent / "read_only.py"


def project_version() -> str:
    return tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]


def test_version_names_corvel_airbyte_the_generator_pydantic_and_python(capsys):
    assert cli.main(["--version"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines == [
        f"corvel {project_version()}",
        f"airbyte {metadata.version('airbyte')}",
        f"datamodel-code-generator {metadata.version('datamodel-code-generator')}",
        f"pydantic {metadata.version('pydantic')}",
        f"Python {platform.python_version()} ({platform.python_implementation()}, {sys.executable})",
    ]


def test_version_is_an_option_of_the_command_and_exits_at_once(capsys):
    assert cli.main(["--version", "source-file"]) == 0
    assert capsys.readouterr().out.startswith(f"corvel {project_version()}\n")


def test_the_package_version_is_the_distribution_s():
    import corvel

    assert corvel.__version__ == metadata.version("corvel") == project_version() == installation.versions()["corvel"]
    assert "__version__" in dir(corvel)


def test_the_report_records_the_versions(capsys, tmp_path):
    report = tmp_path / "report.json"
    status = cli.main(["--frozen", "--output-dir", str(tmp_path / "out"), "--report", str(report)])
    assert status == 1  # there is no lock to be frozen to
    recorded = json.loads(report.read_text(encoding="utf-8"))["versions"]
    assert recorded == {
        "corvel": project_version(),
        "airbyte": metadata.version("airbyte"),
        "datamodel-code-generator": metadata.version("datamodel-code-generator"),
        "pydantic": metadata.version("pydantic"),
        "python": platform.python_version(),
    }


def test_a_distribution_that_is_not_installed_is_named_so(monkeypatch):
    real = metadata.version

    def version(name):
        if name == "pydantic":
            raise metadata.PackageNotFoundError(name)
        return real(name)

    monkeypatch.setattr(metadata, "version", version)
    assert installation.versions()["pydantic"] == "not installed"


# A package directory that cannot be written: a copy of the installed package
# (on the search path instead of it), some of whose directories are mounted
# read-only for the one command (tests/read_only.py): permission bits would not
# stop root, which the tests and CI run as.

def snapshot(root: Path) -> dict[str, tuple[int, int]]:
    return {str(p.relative_to(root)): (p.stat().st_mode, p.stat().st_size if p.is_file() else 0)
            for p in sorted(root.rglob("*")) if "__pycache__" not in p.parts}


def run_read_only(site: Path, read_only: list[Path], *argv: str, cwd: Path):
    return run_process(
        [sys.executable, str(READ_ONLY), *map(str, read_only), "--", sys.executable, "-m", "corvel.cli", *argv],
        cwd=cwd, env={**os.environ, "PYTHONPATH": str(site), "COLUMNS": "200"}, timeout=300,
    )


@pytest.mark.parametrize("read_only", ["connector_configs", "connector_configs/model", "package without a tree"])
def test_an_installed_tree_that_cannot_be_written_stops_the_run_in_one_line(package_copy, tmp_path, read_only):
    package = package_copy / "corvel"
    if read_only == "package without a tree":
        shutil.rmtree(package / "connector_configs")
        mounted, refused = package, package
    else:
        mounted = refused = package / read_only
    before = snapshot(package)
    report = tmp_path / "report.json"
    done = run_read_only(package_copy, [mounted], "source-faker", "--report", str(report), cwd=tmp_path)
    assert done.returncode == 1, done.stderr
    assert done.stderr.splitlines() == [
        f"corvel-generate: cannot write the tree in {refused} (Read-only file system); write it to a directory of "
        "your own with --output-dir DIR"
    ]
    assert done.stdout == ""
    assert snapshot(package) == before  # nothing written, not even a directory of the tree
    recorded = json.loads(report.read_text(encoding="utf-8"))
    assert recorded["exit_status"] == 1 and recorded["connectors"] == [] and "--output-dir" in recorded["error"]


def test_a_read_only_package_still_writes_to_an_output_dir_and_lists(package_copy, tmp_path):
    package = package_copy / "corvel"
    before = snapshot(package)
    done = run_read_only(package_copy, [package], "source-faker", "--output-dir", str(tmp_path / "gen"), cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "gen" / "connector_configs" / "corvel.lock").exists()
    listed = run_read_only(package_copy, [package], "--list", cwd=tmp_path)
    assert listed.returncode == 0 and "source-faker" in listed.stdout
    assert snapshot(package) == before


@pytest.mark.parametrize("chosen_by", ["--output-dir", "package"])
def test_a_tree_the_user_chose_that_cannot_be_written_stops_the_run_in_one_line(tmp_path, chosen_by):
    project = tmp_path / "proj"
    (project / "src" / "app").mkdir(parents=True)
    (project / "pyproject.toml").write_text('[tool.corvel]\npackage = "app.configs"\n', encoding="utf-8")
    refused = project / "out" if chosen_by == "--output-dir" else project / "src" / "app"
    refused.mkdir(exist_ok=True)
    argv = ["--output-dir", str(refused)] if chosen_by == "--output-dir" else []
    done = run_read_only(tmp_path / "no-site", [refused], *argv, "source-faker", cwd=project)
    assert done.returncode == 1 and done.stdout == ""
    (line,) = done.stderr.splitlines()
    assert line.startswith(f"corvel-generate: cannot write the tree in {refused} (Read-only file system); make it "
                           "writable, or ") and "--output-dir DIR" not in line


def test_the_probe_leaves_nothing_behind_where_it_can_write(tmp_path):
    configs = tmp_path / "pkg" / "connector_configs"
    assert installation.write_problem(configs) is None
    assert list(tmp_path.iterdir()) == []
    configs.mkdir(parents=True)
    (configs / "model").write_text("a file where a directory belongs")
    problem = installation.write_problem(configs)
    assert problem is not None and str(configs / "model") in problem and "Not a directory" in problem


def test_corvels_failures_share_one_base_and_import_corvel_stays_light():
    done = run_python(
        """
        import sys, corvel
        base = corvel.CorvelError
        assert "airbyte" not in sys.modules and "pydantic" not in sys.modules
        from corvel import commit, compat, lock, manifests, plan, registry, tree_run
        failures = (lock.LockError, plan.PlanError, commit.CommitError, registry.RegistryError, manifests.StoreError,
                    manifests.FetchError, compat.UnsupportedAirbyte, tree_run.Stop)
        assert all(issubclass(failure, base) for failure in failures)
        assert issubclass(compat.UnsupportedAirbyte, ImportError)  # as callers caught it before
        """
    )
    assert done.returncode == 0, done.stderr
