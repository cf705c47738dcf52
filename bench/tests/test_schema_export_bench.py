import json
import os
import signal
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import measuring  # noqa: E402
import schema_export  # noqa: E402

MiB = 1024


def _entry(repo, tag, properties):
    e = {"dockerRepository": repo, "spec": {"connectionSpecification": {
        "title": "original", "type": "object", "properties": properties}}}
    if tag is not None:
        e["dockerImageTag"] = tag
    return e


@pytest.fixture(scope="module")
def floor_run(tmp_path_factory, monkeypatch_module):
    schema_export.load_modules(require_extension=False)
    root = tmp_path_factory.mktemp("floor")
    registry = {
        "sources": [
            _entry("airbyte/source-a", "1.0.0-rc/2:x y",
                   {"m": {"type": "string", "const": "a,b"}, "n": {"const": 1}}),
            _entry("airbyte/source-skipped", "9.9.9", {}),
        ],
        "destinations": [_entry("airbyte/destination-b", None, {"p": {"const": "x|y"}})],
    }
    (root / "registry.json").write_text(json.dumps(registry), encoding="utf-8")
    (root / "connector_configs" / "jsonschema").mkdir(parents=True)
    monkeypatch_module.setenv("AIRBYTE_LOCAL_REGISTRY", str(root / "registry.json"))
    result = schema_export.floor_generate({"source-a", "destination-b"}, str(root))
    return result, root / "connector_configs" / "jsonschema"


@pytest.fixture(scope="module")
def monkeypatch_module():
    mp = pytest.MonkeyPatch()
    yield mp
    mp.undo()


def test_floor_names_files_after_sanitised_versions(floor_run):
    result, out = floor_run
    assert result == ["source_a__1_0_0_rc_2_x_y", "destination_b__"]
    assert sorted(p.name for p in out.iterdir()) == sorted(n + ".json" for n in result)


def test_floor_rewrites_consts_as_the_pattern_does(floor_run):
    _, out = floor_run
    text = (out / "source_a__1_0_0_rc_2_x_y.json").read_text(encoding="utf8")
    assert '"const"' not in text
    # the capture stops at the first "," or "|", leaving the rest after "]"
    assert '      "enum": [ "a],b"\n' in text
    assert '      "enum": [ 1]\n' in text
    dest = (out / "destination_b__.json").read_text(encoding="utf8")
    assert '"enum": [ "x]|y"' in dest


def test_floor_sets_title_and_connector_name(floor_run):
    _, out = floor_run
    text = (out / "destination_b__.json").read_text(encoding="utf8")
    head = text[:text.index('"properties"')]
    assert '"title": "destination-b-config"' in head
    tail = text[text.index('"connector_name"'):]
    for line in ('"title": "destination-b"', '"default": "destination-b"',
                 '"description": "the name of the connector - source or destination"'):
        assert line in tail
    assert '"enum": [\n        "destination-b"\n      ]' in tail


def _touch(nbytes):
    buf = bytearray(nbytes)
    for i in range(0, nbytes, 4096):
        buf[i] = 1
    return buf


def test_peak_counts_what_the_call_allocates():
    def child():
        _, fig = measuring.measure_call(lambda: len(_touch(64 << 20)))
        return fig
    r = measuring.run_forked(fn=child)
    assert r["ok"], r.get("error")
    assert r["peak_kib"] >= 60 * MiB


def test_peak_ignores_what_the_process_used_before_the_call():
    def child():
        del_me = _touch(128 << 20)
        del del_me
        _, fig = measuring.measure_call(lambda: None)
        return fig
    r = measuring.run_forked(fn=child)
    assert r["ok"], r.get("error")
    if r["hwm_reset"]:
        assert r["peak_kib"] < 16 * MiB


def test_forked_child_failures_are_reported_not_raised():
    def dies():
        os.kill(os.getpid(), signal.SIGKILL)

    def raises():
        raise RuntimeError("boom")

    died = measuring.run_forked(fn=dies)
    assert not died["ok"] and "signal" in died["error"]
    raised = measuring.run_forked(fn=raises)
    assert not raised["ok"] and "boom" in raised["error"]


def _pair(tmp_path, floor_text, ext_text):
    a, b = tmp_path / "a", tmp_path / "b"
    for d in (a, b):
        d.mkdir(parents=True)
        (d / "same.json").write_text("{}")
    (a / "z.json").write_text(floor_text)
    (b / "z.json").write_text(ext_text)
    return schema_export.compare_outputs(a, b)


def test_differences_confined_to_const_rewrites_are_accepted(tmp_path):
    ok, what = _pair(tmp_path,
                     '{\n  "a": {\n    "enum": [ "a],b",\n    "x": 1\n  }\n}',
                     '{\n  "a": {\n    "enum": [ "a,b"],\n    "x": 1\n  }\n}')
    assert ok and "1 of 2 files differ" in what and "z.json line 3" in what
    ok, _ = _pair(tmp_path / "multi",
                  '{\n  "enum": [ [\n    1\n  ]\n}', '{\n  "enum": [ [\n    1\n  ]]\n}')
    assert ok


def test_differences_elsewhere_are_faults(tmp_path):
    ok, what = _pair(tmp_path,
                     '{\n  "enum": [ "a],b",\n  "title": "\\ud83d\\ude80"\n}',
                     '{\n  "enum": [ "a,b"],\n  "title": "\\ud83d"\n}')
    assert not ok and "not only" in what and "title" in what
