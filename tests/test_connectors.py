"""SourceManifestConfig: which manifests it accepts and which it refuses."""

import re
from pathlib import Path
from types import MappingProxyType

import pytest
from pydantic import ValidationError

from corvel.connectors import SourceManifestConfig

MANIFEST = {"version": "6.0.0", "type": "DeclarativeSource", "streams": []}


@pytest.mark.parametrize(
    "manifest, kind, text",
    [
        ("manifests/my_api.yaml", Path, "manifests/my_api.yaml"),
        (Path("/srv/manifests/my_api.yaml"), Path, "/srv/manifests/my_api.yaml"),
        ("C:\\manifests\\my_api.yaml", Path, "C:\\manifests\\my_api.yaml"),
        ("https://example.com/manifests/my_api.yaml", object, "https://example.com/manifests/my_api.yaml"),
        ("HTTP://Example.com/m.yaml", object, "http://example.com/m.yaml"),
    ],
)
def test_paths_and_urls_are_told_apart(manifest, kind, text):
    config = SourceManifestConfig(name="source-my-api", manifest=manifest)
    assert isinstance(config.manifest, kind) and str(config.manifest) == text
    assert (type(config.manifest).__name__ == "HttpUrl") == text.startswith("http")


@pytest.mark.parametrize("manifest", [MANIFEST, MappingProxyType(MANIFEST)])
def test_a_parsed_manifest_is_kept_as_a_mapping(manifest):
    config = SourceManifestConfig(name="source-my-api", manifest=manifest, config={"api_key": "k"})
    assert config.manifest == MANIFEST and config.config == {"api_key": "k"}
    assert SourceManifestConfig(name="source-my-api", manifest=MANIFEST).config == {}


@pytest.mark.parametrize(
    "fields, message",
    [
        ({"manifest": ""}, "empty"),
        ({"manifest": "   "}, "empty"),
        ({"manifest": {}}, "mapping is empty"),
        ({"manifest": "ftp://example.com/m.yaml"}, "http or https"),
        ({"manifest": "s3://bucket/m.yaml"}, "http or https"),
        ({"manifest": "https://"}, "valid http(s) URL"),
        ({"manifest": 42}, "path, an http(s) URL or a mapping"),
        ({"manifest": ["streams"]}, "path, an http(s) URL or a mapping"),
        ({"manifest": None}, "path, an http(s) URL or a mapping"),
        ({"name": "Source My API"}, "pattern"),
        ({"name": ""}, "pattern"),
        ({"streams": []}, "Extra inputs"),
    ],
)
def test_junk_is_refused(fields, message):
    with pytest.raises(ValidationError, match=re.escape(message)):
        SourceManifestConfig(**{"name": "source-my-api", "manifest": MANIFEST, **fields})
