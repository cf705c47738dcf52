"""Getting the registry document: HTTP, local file, and which branch is taken."""

import json
import types

import pytest
import requests
from conftest import entry, mg

DOCUMENT = {"sources": [entry("airbyte/source-file", "1.2.3")], "destinations": []}


def test_http_branch_sends_the_airbyte_user_agent(tree, registry_server):
    registry_server.body = json.dumps(DOCUMENT).encode()
    assert mg.generate_jsonschema_files(["source-file"]) == ["source_file__1_2_3"]
    (request,) = registry_server.requests
    assert request["headers"]["User-Agent"] == "PyAirbyte/" + mg.get_version()
    assert request["path"] == "/registry.json"


@pytest.mark.parametrize("status", [404, 500])
def test_http_error_status_raises_before_parsing(tree, registry_server, status):
    registry_server.status = status
    registry_server.body = b"not json"
    with pytest.raises(requests.HTTPError) as raised:
        mg.generate_jsonschema_files(["source-file"])
    assert raised.value.response.status_code == status
    assert list((tree / "connector_configs" / "jsonschema").iterdir()) == []


def test_http_body_that_is_not_json(tree, registry_server):
    registry_server.body = b"<html>"
    with pytest.raises(requests.JSONDecodeError):
        mg.generate_jsonschema_files(["source-file"])


def test_file_branch_failures(tree, registry, tmp_path, monkeypatch):
    monkeypatch.setenv("AIRBYTE_LOCAL_REGISTRY", str(tmp_path / "missing.json"))
    with pytest.raises(FileNotFoundError):
        mg.generate_jsonschema_files([])
    monkeypatch.setenv("AIRBYTE_LOCAL_REGISTRY", str(tmp_path))
    with pytest.raises(IsADirectoryError):
        mg.generate_jsonschema_files([])
    registry(None, raw=b"\xef\xbb\xbf" + json.dumps(DOCUMENT).encode())
    with pytest.raises(json.JSONDecodeError, match="BOM"):
        mg.generate_jsonschema_files([])
    registry(None, raw=b'{"sources": ["\xff"]}')
    with pytest.raises(UnicodeDecodeError):
        mg.generate_jsonschema_files([])


def test_registry_file_is_closed_after_success_and_failure(tree, registry, rebind):
    opened = []

    class RecordingPath(type(mg.Path())):
        def open(self, *args, **kwargs):
            assert (args, kwargs) == ((), {"encoding": "utf-8"})
            opened.append(super().open(*args, **kwargs))
            return opened[-1]

    rebind(Path=RecordingPath)
    registry(DOCUMENT)
    mg.generate_jsonschema_files([])
    registry(None, raw=b"{")
    with pytest.raises(json.JSONDecodeError):
        mg.generate_jsonschema_files([])
    assert [f.closed for f in opened] == [True, True]


class RecordingRequests:
    """Stands in for the module's `requests` name, recording every get."""

    def __init__(self):
        self.calls = []

    def get(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return types.SimpleNamespace(raise_for_status=lambda: None, json=lambda: DOCUMENT)


@pytest.mark.parametrize("location, over_http", [
    ("https://example.invalid/registry.json", True),
    ("http://example.invalid/registry.json", True),
    ("httpdata.json", True),
    ("HTTPS://example.invalid/registry.json", False),
    ("/no/such/registry.json", False),
])
def test_branch_choice_and_the_exact_request(tree, rebind, location, over_http):
    recorder = RecordingRequests()
    rebind(_get_registry_url=lambda: location, requests=recorder, get_version=lambda: 7)
    if over_http:
        assert mg.generate_jsonschema_files(["source-file"]) == ["source_file__1_2_3"]
        assert recorder.calls == [((location,), {"headers": {"User-Agent": "PyAirbyte/7"}, "timeout": 60})]
    else:
        with pytest.raises(FileNotFoundError):
            mg.generate_jsonschema_files(["source-file"])
        assert recorder.calls == []


def test_switched_off_registry_returns_an_empty_dict_without_access(tree, rebind):
    recorder = RecordingRequests()
    seen = []
    rebind(_get_registry_url=lambda: "https://x.invalid", requests=recorder,
           _is_registry_disabled=lambda url: seen.append(url) or 1)
    result = mg.generate_jsonschema_files(object())  # not even looked at
    assert result == {} and type(result) is dict
    assert seen == ["https://x.invalid"] and recorder.calls == []


def test_rebound_json_loads_the_file(tree, registry, rebind):
    loaded = []
    rebind(json=types.SimpleNamespace(load=lambda f: loaded.append(f.read()) or DOCUMENT, dumps=json.dumps))
    registry(DOCUMENT)
    assert mg.generate_jsonschema_files([]) == []
    assert json.loads(loaded[0]) == DOCUMENT
