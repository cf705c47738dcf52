"""``python -m corvel``: runs corvel.model_generator as the host's main module.

``python -m`` cannot start an extension module itself, so this launcher does
what an embedding host does: it takes the module definition from
``PyInit_model_generator`` and runs the create and execute steps with a spec
named "__main__". The module then generates the schema files, models and
index for its three default connectors, with corvel's generator settings.

The module runs ``datamodel-codegen`` through the shell by its bare name; in
a virtual environment that is not activated (``.venv/bin/python -m corvel``)
PATH does not lead to it, so the launcher puts the directory of the one
installed with this interpreter in front of PATH, as ``corvel-generate`` does.
"""

import ctypes
import importlib.machinery
import importlib.util
import os
import shutil
import sys
import sysconfig

from corvel.generator_settings import generator_settings

_PYTHON_API_VERSION = 1013
GENERATOR = "datamodel-codegen"
REGISTRY_VARIABLE = "AIRBYTE_LOCAL_REGISTRY"


def initialise(name: str, origin: str):
    """Creates and executes the extension at `origin` as a module called
    `name`, as an embedding host does; returns the module object."""
    library = ctypes.PyDLL(os.path.abspath(origin))  # a bare file name is not searched for
    init = library.PyInit_model_generator
    init.restype = ctypes.c_void_p  # the module definition, owned by the module
    definition = init()

    create = ctypes.pythonapi.PyModule_FromDefAndSpec2
    create.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
    create.restype = ctypes.py_object
    execute = ctypes.pythonapi.PyModule_ExecDef
    execute.argtypes = [ctypes.py_object, ctypes.c_void_p]
    execute.restype = ctypes.c_int

    module = create(definition, importlib.machinery.ModuleSpec(name, None, origin=origin), _PYTHON_API_VERSION)
    execute(module, definition)  # raises what the execute step raised
    return module


def put_generator_on_path() -> None:
    """Puts this interpreter's scripts directory in front of PATH when PATH has no generator and that directory has."""
    scripts = sysconfig.get_path("scripts")
    if shutil.which(GENERATOR) is None and shutil.which(GENERATOR, path=scripts):
        current = os.environ.get("PATH", "")
        os.environ["PATH"] = scripts + (os.pathsep + current if current else "")


def run_as_main() -> None:
    found = importlib.util.find_spec("corvel.model_generator")
    if found is None or found.origin is None:
        raise ImportError("corvel.model_generator is not built")
    if "corvel.model_generator" in sys.modules:
        raise RuntimeError("corvel.model_generator is already imported in this process")
    put_generator_on_path()
    # the run happens in the directory of corvel's generator settings; a registry file named relative to the
    # directory the command was given in is still found
    location = os.environ.get(REGISTRY_VARIABLE, "")
    if location and not os.path.isabs(location) and os.path.isfile(location):
        os.environ[REGISTRY_VARIABLE] = os.path.abspath(location)
    with generator_settings():
        initialise("__main__", os.path.abspath(found.origin))


if __name__ == "__main__":
    run_as_main()
