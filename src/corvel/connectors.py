"""Configuration of connectors that are not in the registry."""

from __future__ import annotations

import re
from collections.abc import Mapping
from pathlib import Path
from typing import Any, Union

from pydantic import BaseModel, ConfigDict, Field, HttpUrl, TypeAdapter, ValidationError, field_validator

_URL_SCHEME = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")
_HTTP_URL = TypeAdapter(HttpUrl)


class SourceManifestConfig(BaseModel):
    """A source connector defined by a declarative (low-code) manifest.

    The manifest is the YAML or JSON document of the Airbyte connector builder
    that describes the connector's streams, requests and pagination. It is
    given as a path to the file, an http(s) URL to fetch it from, or the
    already parsed mapping; ``config`` holds the values the manifest's spec
    asks for, as for any registry connector.

    >>> SourceManifestConfig(name="source-my-api", manifest="manifests/my_api.yaml",
    ...                      config={"api_key": "..."}).manifest
    PosixPath('manifests/my_api.yaml')
    """

    model_config = ConfigDict(extra="forbid")

    name: str = Field(
        pattern=r"^[a-z0-9]+(?:[-_][a-z0-9]+)*$",
        description='Connector name, lower case words joined by "-", e.g. "source-my-api".',
        examples=["source-my-api"],
    )
    manifest: Union[HttpUrl, Path, dict[str, Any]] = Field(
        description="The declarative manifest: a filesystem path, an http(s) URL, or the parsed manifest mapping.",
        examples=["manifests/my_api.yaml", "https://example.com/manifests/my_api.yaml"],
        union_mode="left_to_right",
    )
    config: dict[str, Any] = Field(
        default_factory=dict,
        description="Connector configuration: the values the manifest's spec section asks for.",
    )

    @field_validator("manifest", mode="before")
    @classmethod
    def _path_url_or_mapping(cls, value: Any) -> Any:
        if isinstance(value, str):
            if not value.strip():
                raise ValueError("the manifest path or URL is empty")
            if _URL_SCHEME.match(value):
                # anything with a scheme is a URL, never a relative path
                if not value.lower().startswith(("http://", "https://")):
                    raise ValueError("a manifest URL must use http or https")
                try:
                    return _HTTP_URL.validate_python(value)
                except ValidationError as error:
                    raise ValueError(f"not a valid http(s) URL: {error.errors()[0]['msg']}") from None
        elif isinstance(value, Mapping):
            if not value:
                raise ValueError("the manifest mapping is empty")
        elif not isinstance(value, Path):
            raise ValueError("the manifest is a path, an http(s) URL or a mapping")
        return value
