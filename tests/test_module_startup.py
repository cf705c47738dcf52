"""Start-up behaviour, each case in a fresh interpreter."""

import os
import sys

import pytest
from conftest import run_python

def check(code, **options):
    result = run_python(code, **options)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_import_is_once_per_process(package_copy):
    check(
        """
        import sys, warnings
        # built for this Python: no version warning
        warnings.filterwarnings("error", message="compile time Python version")
        before = list(sys.path)
        import corvel.model_generator as mg
        entry = str(__import__("pathlib").Path(mg.__file__).resolve().parent.parent)
        assert sys.path[len(before):] == [entry], (sys.path, before)
        assert mg.CURRENT_DIR == mg.__file__.rsplit("/", 1)[0]
        del sys.modules["corvel.model_generator"]
        import corvel.model_generator as again
        assert again is mg
        assert sys.path.count(entry) == before.count(entry) + 1
        assert "connector_names" not in vars(mg)
        assert mg.__loader__ is not None and mg.__package__ == "corvel" and not hasattr(mg, "__path__")
        """,
        path_entry=package_copy,
    )
    assert not (package_copy / "corvel" / "connector_configs" / "__init__.py").exists()


def test_failed_start_up_leaves_the_module_absent_and_can_be_retried(package_copy):
    check(
        """
        import sys, traceback
        length = len(sys.path)
        sys.modules["pydantic"] = None
        try:
            import corvel.model_generator
        except ImportError as error:
            names = [frame.name for frame in traceback.extract_tb(error.__traceback__)]
            assert "init corvel.model_generator" in names, names
        else:
            raise AssertionError("import succeeded without pydantic")
        assert "corvel.model_generator" not in sys.modules
        del sys.modules["pydantic"]
        import corvel.model_generator as mg
        entry = mg.os.path.abspath(mg.os.path.join(mg.CURRENT_DIR, ".."))
        assert sys.path[length:] == [entry, entry], sys.path
        """,
        path_entry=package_copy,
    )


def test_from_import_falls_back_to_the_module_table_and_reports_missing_names(package_copy):
    check(
        """
        import sys
        import airbyte.sources.registry as registry
        marker = object()
        vars(registry).pop("_get_registry_url", None)
        vars(sys.modules.get("airbyte.registry", registry)).pop("_get_registry_url", None)  # its home from 0.33.1 on
        sys.modules["airbyte.sources.registry._get_registry_url"] = marker
        import corvel.model_generator as mg
        assert mg._get_registry_url is marker
        """,
        path_entry=package_copy,
    )
    check(
        """
        import airbyte.version
        del airbyte.version.get_version
        try:
            import corvel.model_generator
        except ImportError as error:
            assert str(error) == "cannot import name get_version", str(error)
        else:
            raise AssertionError("import succeeded")
        """,
        path_entry=package_copy,
    )


def test_top_level_name_and_second_module_object(package_copy):
    check(
        """
        import sys, types
        import corvel  # the package's finders give airbyte's registry module what the start-up imports
        import model_generator as mg
        assert mg.__name__ == "model_generator"
        assert sys.modules["corvel.model_generator"] is mg
        assert mg.generate_model_files.__module__ == "corvel.model_generator"
        import ctypes
        library = ctypes.PyDLL(mg.__file__)
        library.PyInit_model_generator.restype = ctypes.c_void_p
        execute = ctypes.pythonapi.PyModule_ExecDef
        execute.argtypes = [ctypes.py_object, ctypes.c_void_p]
        execute.restype = ctypes.c_int
        try:
            execute(types.ModuleType("other"), library.PyInit_model_generator())
        except RuntimeError as error:
            assert str(error) == ("Module 'model_generator' has already been imported. "
                                  "Re-initialisation is not supported."), str(error)
        else:
            raise AssertionError("second module object accepted")
        """,
        path_entry=f"{package_copy / 'corvel'}{os.pathsep}{package_copy}",
    )


@pytest.mark.parametrize("isolated", [False, True])
def test_second_interpreter_is_refused(package_copy, isolated):
    # From 3.12 on an isolated interpreter has a GIL of its own, and the host
    # itself refuses a module that does not declare it can live with that,
    # before the module is asked; on 3.11 isolated is the same as not.
    if isolated and sys.version_info >= (3, 12):
        message = "module corvel.model_generator does not support loading in subinterpreters"
    else:
        message = "Interpreter change detected - this module can only be loaded into one interpreter per process."
    check(
        f"""
        import _xxsubinterpreters as interpreters
        import corvel.model_generator
        other = interpreters.create(isolated={isolated})
        try:
            interpreters.run_string(other, "import corvel.model_generator")
        except interpreters.RunFailedError as error:
            assert "ImportError" in str(error), str(error)
            assert {message!r} in str(error), str(error)
        else:
            raise AssertionError("second interpreter accepted")
        """,
        path_entry=package_copy,
    )


@pytest.mark.parametrize("where, origin, current_dir, entry", [
    ("site", "corvel/{so}", "corvel", "{site}"),
    ("corvel", "{so}", "", "{site}"),
])
def test_relative_module_paths(package_copy, where, origin, current_dir, entry):
    so = next(p.name for p in (package_copy / "corvel").glob("model_generator*.so"))
    cwd = package_copy if where == "site" else package_copy / "corvel"
    out = check(
        f"""
import sys
import corvel.__main__ as launcher
module = launcher.initialise("corvel.model_generator", {origin.format(so=so)!r})
print(repr(module.CURRENT_DIR), sys.path[-1])
""",
        cwd=cwd,
        path_entry=package_copy,
    )
    assert out.split() == [repr(current_dir), entry.format(site=package_copy)]


FAKE_GENERATOR = """#!/bin/sh
# stands in for datamodel-codegen: records its arguments and the directory it runs in
printf '%s\\n' "$@" >> "$(dirname "$0")/calls.txt"
pwd >> "$(dirname "$0")/directories.txt"
"""


def test_main_module_run_generates_the_three_defaults(package_copy, tmp_path, registry):
    from conftest import entry as make_entry
    registry({
        "sources": [make_entry("airbyte/source-file", "1.2.3")],
        "destinations": [make_entry("airbyte/destination-sftp-json", "0.1.0"),
                         make_entry("airbyte/destination-csv", ...), make_entry("airbyte/destination-x")],
    })
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    fake = bin_dir / "datamodel-codegen"
    fake.write_text(FAKE_GENERATOR)
    fake.chmod(0o755)
    result = run_python(
        "import runpy; runpy.run_module('corvel', run_name='__main__')",
        path_entry=package_copy,
        env={"PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}"},
    )
    assert result.returncode == 0, result.stderr
    tree = package_copy / "corvel" / "connector_configs"
    assert sorted(p.name for p in (tree / "jsonschema").glob("*.json")) == [
        "destination_csv__.json", "destination_sftp_json__0_1_0.json", "source_file__1_2_3.json"]
    index = (tree / "__init__.py").read_text()
    assert "import SourceFileConfig\n" in index and "as DestinationCsv\n" in index
    assert (bin_dir / "calls.txt").read_text().count("--input\n") == 3
    # the generator reads corvel's settings from there
    assert set((bin_dir / "directories.txt").read_text().split()) == {str(package_copy / "corvel" / "generator_settings")}
