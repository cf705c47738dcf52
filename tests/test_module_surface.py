"""How the module and its two operations present themselves to callers."""

import builtins
import ctypes
import inspect
import json
import subprocess
import traceback
import types

import pytest
from conftest import entry, mg

OPERATIONS = [
    (mg.generate_jsonschema_files, "generate_jsonschema_files", "connector_names"),
    (mg.generate_model_files, "generate_model_files", "connector_names_w_version"),
]


def test_namespace_holds_the_start_up_names_in_binding_order():
    names = [name for name in vars(mg) if not name.startswith("__")]
    assert names == [
        "sys", "shutil", "os", "subprocess", "_get_registry_url", "_is_registry_disabled",
        "json", "re", "requests", "Path", "get_version", "pydantic", "CURRENT_DIR",
        "generate_jsonschema_files", "generate_model_files",
    ]
    assert mg.__doc__ is None
    assert "connector_names" not in vars(mg)
    import airbyte.sources.registry as registry
    import pathlib
    assert mg._get_registry_url is registry._get_registry_url
    assert mg.Path is pathlib.Path
    assert mg.CURRENT_DIR == mg.os.path.dirname(mg.__file__)


@pytest.mark.parametrize("function, name, parameter", OPERATIONS)
def test_operations_look_like_python_functions(function, name, parameter):
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == "corvel.model_generator"
    assert function.__doc__ is None
    (only,) = inspect.signature(function).parameters.values()
    assert only.name == parameter
    assert only.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert only.default is inspect.Parameter.empty


def _vectorcall(function, args, kwnames):
    """Calls through the native interface, where keyword names need not be str."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    values = list(args) + [object()] * len(kwnames)
    array = (ctypes.py_object * len(values))(*values)
    return call(function, ctypes.cast(array, ctypes.c_void_p), len(args), tuple(kwnames))


@pytest.mark.parametrize("function, name, parameter", OPERATIONS)
def test_wrong_calls_raise_the_hosts_messages(function, name, parameter):
    count = f"{name}() takes exactly 1 positional argument (%d given)"
    cases = [
        ((), {}, count % 0),
        ((), {"names": 1}, count % 0),
        ((), {"a": 1, "b": 2}, count % 0),
        ((1, 2), {}, count % 2),
        ((1, 2, 3), {parameter: 1}, count % 3),
        ((1,), {"names": 1}, f"{name}() got an unexpected keyword argument 'names'"),
        ((), {parameter: 1, "other": 2}, f"{name}() got an unexpected keyword argument 'other'"),
        ((1,), {parameter: 1}, f"{name}() got multiple values for keyword argument '{parameter}'"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as raised:
            function(*args, **kwargs)
        assert str(raised.value) == message, (args, kwargs)
    with pytest.raises(TypeError, match=rf"^{name}\(\) keywords must be strings$"):
        _vectorcall(function, [1], [7])


def test_argument_by_keyword_reaches_the_operation(tree, registry):
    registry({"sources": [entry("airbyte/source-file")], "destinations": []})
    assert mg.generate_jsonschema_files(connector_names=["source-file"]) == ["source_file__1_0_0"]
    assert mg.generate_model_files(connector_names_w_version=[]) is None


def test_errors_pass_through_with_one_traceback_entry(tree, rebind):
    failure = LookupError("registry down")

    def get_registry_url():
        raise failure

    rebind(_get_registry_url=get_registry_url)
    with pytest.raises(LookupError) as raised:
        mg.generate_jsonschema_files([])
    assert raised.value is failure
    names = [frame.name for frame in traceback.extract_tb(raised.value.__traceback__)]
    assert names[1:] == ["corvel.model_generator.generate_jsonschema_files", "get_registry_url"]

    with pytest.raises(AttributeError) as raised:
        mg.generate_model_files([5])
    names = [frame.name for frame in traceback.extract_tb(raised.value.__traceback__)]
    assert names[1:] == ["corvel.model_generator.generate_model_files"]


def test_names_are_looked_up_at_each_use_but_open_and_print_at_start_up(tree, registry, rebind, monkeypatch, tmp_path):
    registry({"sources": [entry("airbyte/source-file")], "destinations": []})
    dumped = []

    class RecordingJson:
        load = staticmethod(json.load)

        @staticmethod
        def dumps(value, indent):
            dumped.append(indent)
            return json.dumps(value, indent=indent)

    rebind(json=RecordingJson)
    opened = []
    monkeypatch.setattr(builtins, "open", lambda *a, **k: opened.append(a))
    monkeypatch.setattr(builtins, "print", lambda *a, **k: opened.append(a))
    other = tmp_path / "other"
    (other / "connector_configs" / "jsonschema").mkdir(parents=True)
    mg.CURRENT_DIR = str(other)
    assert mg.generate_jsonschema_files(["source-file"]) == ["source_file__1_0_0"]
    assert dumped == [2]
    assert opened == []
    assert (other / "connector_configs" / "jsonschema" / "source_file__1_0_0.json").exists()
    assert not (tree / "connector_configs" / "jsonschema" / "source_file__1_0_0.json").exists()


def test_subprocess_rebinding_is_used_for_runs_and_for_the_error_class(tree, rebind, capsys):
    class Failed(Exception):
        def __init__(self):
            self.stdout, self.returncode, self.stderr = "out", 3, "err"

    runs = []

    def run(command, **options):
        runs.append(options)
        raise Failed()

    rebind(subprocess=types.SimpleNamespace(run=run, CalledProcessError=Failed))
    mg.generate_model_files(["a__1"])
    assert runs == [{"shell": True, "capture_output": True, "text": True, "check": True}]
    assert "command failed with return code: 3" in capsys.readouterr().out
    assert list(runs[0]) == ["shell", "capture_output", "text", "check"]

    rebind(subprocess=types.SimpleNamespace(run=run, CalledProcessError=subprocess.CalledProcessError))
    with pytest.raises(Failed):
        mg.generate_model_files(["a__1"])
