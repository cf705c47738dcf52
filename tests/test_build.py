"""The built extension itself."""

import subprocess

from conftest import mg


def test_only_the_module_entry_is_exported():
    symbols = subprocess.run(["nm", "-D", "--defined-only", mg.__file__], capture_output=True, text=True,
                             check=True).stdout.split("\n")
    functions = [line.split()[-1] for line in symbols if line.split()[1:2] in (["T"], ["W"], ["i"])]
    assert functions == ["PyInit_model_generator"]
