"""Repeated calls on success and failure paths leave no objects behind."""

import gc
import sys
import types

import pytest
from conftest import entry, mg

REPEATS = 300


def allocated_after(action, repeats):
    """Blocks left per round of `repeats` calls, the least of three rounds:
    a leak of one object per call shows in every round, allocator noise not."""
    for _ in range(repeats):  # warm-up: caches, free lists, interned names, lazily made types
        action()
    rounds = []
    for _ in range(3):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(repeats):
            action()
        gc.collect()
        rounds.append(sys.getallocatedblocks() - before)
    return min(rounds)


def expect_error(function, error, *args, **kwargs):
    def action():
        try:
            function(*args, **kwargs)
        except error:
            pass
        else:
            raise AssertionError("no error")
    return action


def succeeding_run(command, **options):
    return None


class Failed(Exception):
    stdout, returncode, stderr = "", 1, ""


def failing_run(command, **options):
    raise Failed()


@pytest.fixture
def quiet_subprocess(rebind):
    rebind(subprocess=types.SimpleNamespace(run=succeeding_run, CalledProcessError=Failed))
    return rebind


def cases(registry):
    document = {"sources": [entry("airbyte/source-x", "1", schema={
        "properties": {"a": {"oneOf": [{"properties": {"k": {"const": "a,b"}}}]}}})], "destinations": []}
    registry(document)
    argument = ["source-x"]
    return {
        "export": lambda: mg.generate_jsonschema_files(argument),
        "missing member": expect_error(mg.generate_jsonschema_files, KeyError, argument),
        "argument error": expect_error(mg.generate_jsonschema_files, TypeError, argument, names=1),
        "models": lambda: mg.generate_model_files(["source_x__1"]),
        "non-string element": expect_error(mg.generate_model_files, AttributeError, [1]),
    }, argument


def test_no_growth_with_the_number_of_calls(tree, registry, quiet_subprocess, rebind, capsys):
    actions, argument = cases(registry)
    for name, action in actions.items():
        if name == "missing member":
            registry({"sources": [{"dockerImageTag": "1"}], "destinations": []})
        refcount = sys.getrefcount(argument)
        growth = allocated_after(action, REPEATS)
        assert growth < REPEATS // 4, (name, growth)
        assert sys.getrefcount(argument) == refcount, name
    rebind(subprocess=types.SimpleNamespace(run=failing_run, CalledProcessError=Failed))
    growth = allocated_after(lambda: mg.generate_model_files(["a__1"]), REPEATS)
    capsys.readouterr()
    assert growth < REPEATS // 4, ("failed run", growth)


def test_re_import_keeps_no_state_block_behind():
    def re_import():
        del sys.modules["corvel.model_generator"]
        import corvel.model_generator as again
        assert again is mg

    try:
        growth = allocated_after(re_import, REPEATS)
    finally:
        sys.modules["corvel.model_generator"] = mg
    assert growth < REPEATS // 4, growth
