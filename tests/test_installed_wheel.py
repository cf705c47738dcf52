"""The wheel as a user gets it: `make wheel-check` runs these.

`make dist` built the sdist and, from it, the manylinux wheel in dist/;
`make wheel-check` made a new virtual environment holding a project's airbyte
at the locked version (CORVEL_WHEEL_CHECK/venv). Here the wheel is installed
into it with nothing on PATH (no compiler, no CMake) and no source build
allowed, and corvel is run from it the way a user runs it: by the paths of the
environment's own scripts and interpreter, without activating it.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import time
import tomllib
import zipfile
from pathlib import Path

import pytest

if not os.environ.get("CORVEL_WHEEL_CHECK"):
    pytest.skip("make wheel-check runs these, on the wheel that make dist builds", allow_module_level=True)
pytestmark = pytest.mark.pypi  # the wheel's dependencies are installed from PyPI

ROOT = Path(__file__).resolve().parents[1]
CHECK = Path(os.environ["CORVEL_WHEEL_CHECK"])
DIST = Path(os.environ["CORVEL_DIST"])
AUDITWHEEL = os.environ["CORVEL_AUDITWHEEL"]
UV = os.environ["CORVEL_UV"]
VENV = CHECK / "venv"
PYTHON = VENV / "bin" / "python"
NOTHING = CHECK / "empty-path"  # the only directory on PATH: no compiler, no CMake, not even a shell
VERSION = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]
# the wheel of the Python these run on, which the environment has too (make dist builds one per Python)
CP = f"cp{sys.version_info.major}{sys.version_info.minor}"
TAG = f"{CP}-{CP}-manylinux_2_17_x86_64"
WHEEL_NAME = f"corvel-{VERSION}-{CP}-{CP}-manylinux2014_x86_64.manylinux_2_17_x86_64.whl"
CONNECTORS = Path(os.environ.get("AIRBYTE_INSTALL_DIR") or ROOT / "build" / "connectors")
BUILD_TOOLS = ("cc", "gcc", "g++", "c++", "clang", "cmake", "ninja", "make")


def only(pattern: str) -> Path:
    found = sorted(DIST.glob(pattern))
    assert len(found) == 1, found
    return found[0]


def the_wheel() -> Path:
    return only(f"corvel-*-{CP}-*.whl")


def user_environment(**extra: str) -> dict[str, str]:
    """The environment of a user's shell that has not activated the venv, with nothing on PATH."""
    environment = {k: v for k, v in os.environ.items() if k not in ("VIRTUAL_ENV", "PYTHONPATH", "PYTHONHOME")}
    environment.update(PATH=str(NOTHING), COLUMNS="200", **extra)
    return environment


def run(arguments, *, cwd: Path, **extra: str) -> subprocess.CompletedProcess:
    return subprocess.run([str(a) for a in arguments], capture_output=True, text=True, cwd=cwd,
                          env=user_environment(**extra), timeout=600)


@pytest.fixture(scope="module")
def installed(request):
    """Installs the wheel into the environment, and tells how long it took."""
    NOTHING.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    done = subprocess.run(
        [UV, "pip", "install", "-q", "--no-build", "--python", str(PYTHON), "-c", str(ROOT / "constraints.txt"),
         str(the_wheel())],
        capture_output=True, text=True, env=user_environment(), timeout=600,
    )
    elapsed = time.monotonic() - started
    assert done.returncode == 0, done.stderr
    reporter = request.config.pluginmanager.get_plugin("terminalreporter")
    capture = request.config.pluginmanager.get_plugin("capturemanager")
    if reporter is not None and capture is not None:
        with capture.global_and_fixture_disabled():
            reporter.write_line(f"\nthe wheel installed in {elapsed:.1f} s, with no compiler or CMake on PATH")
    site = Path(subprocess.run([str(PYTHON), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                               capture_output=True, text=True, check=True).stdout.strip())
    return site / "corvel"


# --- what was built ---------------------------------------------------------

def test_the_wheel_is_manylinux_2_17_and_auditwheel_agrees():
    # one wheel per supported Python
    assert sorted(path.name.split("-")[2] for path in DIST.glob("corvel-*.whl")) == ["cp311", "cp312"]
    wheel = the_wheel()
    assert wheel.name == WHEEL_NAME
    with zipfile.ZipFile(wheel) as archive:
        tags = [line.split(": ", 1)[1] for line in archive.read(f"corvel-{VERSION}.dist-info/WHEEL").decode().splitlines()
                if line.startswith("Tag: ")]
    assert tags == [TAG, f"{CP}-{CP}-manylinux2014_x86_64"]
    shown = subprocess.run([AUDITWHEEL, "show", str(wheel)], capture_output=True, text=True, check=True).stdout
    verdict = " ".join(shown.split())
    assert f'{wheel.name} is consistent with the following platform tag: "manylinux_2_17_x86_64"' in verdict
    # what it asks of the system: the C library and libgcc_s, nothing of libstdc++
    assert "libstdc++" not in verdict and "GLIBCXX" not in verdict and "CXXABI" not in verdict
    assert re.search(r"system-provided shared libraries: libgcc_s\.so\.1 with versions \{[^}]*\}, libc\.so\.6 with "
                     r"versions \{[^}]*\} This constrains", verdict), verdict


def test_the_module_in_the_wheel_exports_its_entry_alone_and_needs_no_cxx_runtime(tmp_path):
    with zipfile.ZipFile(the_wheel()) as archive:
        [name] = [n for n in archive.namelist() if n.endswith(".so")]
        module = tmp_path / Path(name).name
        module.write_bytes(archive.read(name))
    dynamic = subprocess.run(["readelf", "-d", str(module)], capture_output=True, text=True, check=True).stdout
    assert sorted(re.findall(r"\(NEEDED\)\s+Shared library: \[(.*?)\]", dynamic)) == [
        "ld-linux-x86-64.so.2", "libc.so.6", "libgcc_s.so.1"]
    assert "RPATH" not in dynamic and "RUNPATH" not in dynamic
    symbols = subprocess.run(["nm", "-D", "--defined-only", str(module)], capture_output=True, text=True,
                             check=True).stdout.split("\n")
    assert [line.split()[-1] for line in symbols if line.strip()] == ["PyInit_model_generator"]


def test_the_wheel_holds_no_path_of_the_machine_that_built_it():
    built_here = [str(ROOT).encode(), str(Path.home()).encode() + b"/", b"/tmp/.tmp", b"/.cache/uv"]
    with zipfile.ZipFile(the_wheel()) as archive:
        for name in archive.namelist():
            data = archive.read(name)
            assert not [p for p in built_here if p in data], name
            if name.endswith(".so"):
                # source paths (std::source_location) start at the source tree
                paths = set(re.findall(rb"[\w./-]*model_generator/[\w/]+\.cpp", data))
                assert paths and all(p.startswith(b"src/corvel/model_generator/") for p in paths), paths


def test_the_sdist_holds_the_sources_and_nothing_built_or_generated():
    with tarfile.open(only("corvel-*.tar.gz")) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    for needed in ("pyproject.toml", "CMakeLists.txt", "cmake/single_threaded.cpp", "README.md", "PKG-INFO",
                   "src/corvel/model_generator/module/module.cpp", "src/corvel/cli.py", "src/corvel/data/registry.json"):
        assert needed in names
    # the tree ships its folders' READMEs and config_class's overloads for a tree without connectors
    shipped = ("README.txt", "_config_classes.py")
    generated = [n for n in names if n.startswith("src/corvel/connector_configs/") and not n.endswith(shipped)]
    assert generated == []
    assert not [n for n in names if n.split("/")[0] in ("build", "dist", ".venv", "demo-out") or n.endswith(".so")]


# --- installed and run as a user runs it -------------------------------------

def test_nothing_to_build_with_on_the_user_s_path(installed):
    for tool in BUILD_TOOLS:
        assert not list(NOTHING.glob(tool))
    probe = "import shutil, sys; sys.exit(any(shutil.which(t) for t in sys.argv[1:]))"
    assert run([PYTHON, "-c", probe, *BUILD_TOOLS], cwd=CHECK).returncode == 0
    record = (installed.parent / f"corvel-{VERSION}.dist-info" / "RECORD").read_text(encoding="utf-8")
    assert f"corvel/model_generator{sysconfig.get_config_var('EXT_SUFFIX')}," in record


def test_version_from_the_installed_wheel(installed, tmp_path):
    done = run([VENV / "bin" / "corvel-generate", "--version"], cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == f"corvel {VERSION}"
    assert [line.split()[0] for line in lines] == ["corvel", "airbyte", "datamodel-code-generator", "pydantic", "Python"]
    locked = (ROOT / "constraints.txt").read_text(encoding="utf-8")
    assert f"airbyte=={lines[1].split()[1]}\n" in locked
    assert lines[4].endswith(f", {PYTHON})")


def test_generate_import_and_sync_source_faker_from_the_wheel(installed, tmp_path):
    """The smoke test: corvel-generate (fast mode) into the installed package, the class from its index, a typed
    sync of source-faker into DuckDB."""
    report = tmp_path / "report.json"
    done = run([VENV / "bin" / "corvel-generate", "source-faker", "--report", report], cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "went through the shell" not in done.stderr  # the warm helper interpreter ran every command
    recorded = json.loads(report.read_text(encoding="utf-8"))
    assert [(c["name"], c["status"]) for c in recorded["connectors"]] == [("source-faker", "written")]
    assert recorded["versions"]["corvel"] == VERSION and recorded["tree"] == str(installed / "connector_configs")

    sync = """
import json, sys
import corvel
from corvel.connector_configs import DestinationDuckDB, SourceFakerConfig

config = SourceFakerConfig(count=25, seed=7, parallelism=1)
source = corvel.get_source(config, streams=["users"], install_if_missing=False)
result = source.read(cache=DestinationDuckDB(db_path=sys.argv[1]))
print(json.dumps({"rows": len(result["users"].to_pandas()), "package": corvel.__file__,
                  "class": SourceFakerConfig.__module__}))
"""
    done = run([PYTHON, "-c", sync, tmp_path / "faker.duckdb"], cwd=tmp_path, AIRBYTE_INSTALL_DIR=str(CONNECTORS),
               AIRBYTE_LOCAL_REGISTRY=str(installed / "data" / "registry.json"))
    assert done.returncode == 0, done.stderr
    outcome = json.loads(done.stdout.splitlines()[-1])
    assert outcome["rows"] == 25 and outcome["package"] == str(installed / "__init__.py")
    assert outcome["class"].startswith("corvel.connector_configs.model.source_faker__")


def test_a_package_directory_the_user_cannot_write(installed, tmp_path):
    """A shared environment: the package is someone else's to write. Root (CI) passes permission bits, so the
    command runs without the capabilities that let it."""
    model = installed / "connector_configs" / "model"
    before = {str(p): p.stat().st_mtime_ns for p in installed.rglob("*") if "__pycache__" not in p.parts}
    command = [VENV / "bin" / "corvel-generate", "source-faker", "destination-csv"]
    if os.geteuid() == 0:
        command = [shutil.which("setpriv"), "--bounding-set=-dac_override,-dac_read_search,-fowner", "--", *command]
    model.chmod(0o555)
    try:
        done = run(command, cwd=tmp_path)
    finally:
        model.chmod(0o755)
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.splitlines() == [
        f"corvel-generate: cannot write the tree in {model} (Permission denied); write it to a directory of your "
        "own with --output-dir DIR"]
    after = {str(p): p.stat().st_mtime_ns for p in installed.rglob("*") if "__pycache__" not in p.parts}
    assert after == before


def test_a_project_package_outlives_reinstalling_and_uninstalling_corvel(installed, tmp_path):
    """A uv project names its package in [tool.corvel]; corvel's reinstall and uninstall leave it, and the
    installed tree's stubs, as they were."""
    subprocess.run([UV, "init", "-q", "--lib", "--name", "myapp", "--no-workspace", "--vcs", "none", str(tmp_path / "proj")],
                   check=True, capture_output=True)
    with open(tmp_path / "proj" / "pyproject.toml", "a", encoding="utf-8") as file:
        file.write('\n[tool.corvel]\npackage = "myapp.connector_configs"\n')
    done = run([VENV / "bin" / "corvel-generate", "source-faker"], cwd=tmp_path / "proj" / "src")
    assert done.returncode == 0, done.stdout + done.stderr
    package = tmp_path / "proj" / "src" / "myapp" / "connector_configs"
    use = "from myapp.connector_configs import SourceFakerConfig; print(SourceFakerConfig(count=3).count)"

    def state():
        files = {p: p.read_bytes() for p in [*package.rglob("*"), installed / "connector_configs" / "_config_classes.pyi"]
                 if p.is_file() and "__pycache__" not in p.parts}
        return files, run([PYTHON, "-c", use], cwd=tmp_path, PYTHONPATH=str(package.parents[1])).stdout

    before = state()
    assert before[1] == "3\n"
    wheel = the_wheel()
    for command in (["install", "--reinstall", "--no-deps", wheel], ["uninstall", "corvel"], ["install", "--no-deps", wheel]):
        done = subprocess.run([UV, "pip", *map(str, command), "-q", "--python", str(PYTHON)], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        if command[0] == "uninstall":
            assert {p: b for p, b in before[0].items() if p.is_relative_to(package)} == {
                p: b for p, b in state()[0].items() if p.is_relative_to(package)}
        else:
            assert state() == before


def test_the_module_runs_as_main_from_the_wheel(installed, tmp_path):
    """`python -m corvel`: the module's own run for its three defaults, into the installed package (last: it
    writes the package's index for those three alone)."""
    done = run([PYTHON, "-m", "corvel"], cwd=tmp_path, AIRBYTE_LOCAL_REGISTRY=str(installed / "data" / "registry.json"))
    assert done.returncode == 0, done.stdout + done.stderr
    index = (installed / "connector_configs" / "__init__.py").read_text(encoding="utf-8")
    assert "SourceFileConfig" in index and "DestinationCsvConfig" in index and "DestinationSftpJsonConfig" in index
