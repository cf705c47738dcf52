"""Configuration of connectors that are not in the registry."""

from __future__ import annotations

import re
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from pydantic import BaseModel, ConfigDict, Field, HttpUrl, PrivateAttr, TypeAdapter, ValidationError, field_validator

_URL_SCHEME = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")
_HTTP_URL = TypeAdapter(HttpUrl)


class SourceManifestConfig(BaseModel):
    """A source connector defined by a declarative (low-code) manifest.

    The manifest is the YAML or JSON document of the Airbyte connector builder
    that describes the connector's streams, requests and pagination. It is
    given as a path to the file, an http(s) URL to fetch it from, or the
    already parsed mapping; ``config`` holds the values the manifest's spec
    asks for, as for any registry connector.

    ``corvel.get_source`` runs it once the manifest's own
    ``spec.connection_specification`` has judged ``config``; its repr shows
    no value the spec marks secret (and none of ``config`` while the spec is
    not at hand: a URL's manifest not yet fetched, a file that cannot be read).

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
    manifest: HttpUrl | Path | dict[str, Any] = Field(
        description="The declarative manifest: a filesystem path, an http(s) URL, or the parsed manifest mapping.",
        examples=["manifests/my_api.yaml", "https://example.com/manifests/my_api.yaml"],
        union_mode="left_to_right",
    )
    config: dict[str, Any] = Field(
        default_factory=dict,
        description="Connector configuration: the values the manifest's spec section asks for.",
    )

    _document: dict[str, Any] | None = PrivateAttr(default=None)

    if TYPE_CHECKING:  # corvel.get_source's keywords, as checkers see them: any stream name the manifest may have
        def __corvel_source__(self, *, streams: str | Sequence[str] | None = None, **kwargs: Any) -> None: ...

    @property
    def manifest_label(self) -> str:
        """The manifest as a message names it."""
        return "the manifest mapping" if isinstance(self.manifest, dict) else str(self.manifest)

    def manifest_document(self) -> dict[str, Any]:
        """The parsed manifest: the mapping given, the file as it is now, or the URL fetched (once)."""
        from corvel import own_manifests

        if isinstance(self.manifest, dict):
            return self.manifest
        if isinstance(self.manifest, Path):  # read each time: the spec judged is the one airbyte will run
            try:
                body = self.manifest.expanduser().read_bytes()
            except OSError as error:
                raise own_manifests.ManifestError(f"{self.manifest}: cannot be read: {error.strerror or error}") \
                    from error
            return own_manifests.parse(self.manifest_label, body)
        if self._document is None:
            self._document = own_manifests.parse(self.manifest_label, own_manifests.fetch(str(self.manifest)))
        return self._document

    def __repr_args__(self):
        for name, value in super().__repr_args__():
            yield name, self._masked_config() if name == "config" else value

    def _masked_config(self) -> dict[str, Any]:
        from corvel import model_behaviour, own_manifests

        try:
            spec = own_manifests.connection_spec(self.manifest_label, self.manifest_document()) \
                if self._document is not None or not isinstance(self.manifest, HttpUrl) else None
        except own_manifests.ManifestError:  # no spec to tell the secrets by: every value is kept out
            spec = None
        if spec is None:
            return {key: model_behaviour.MASK for key in self.config}
        secrets: set[str] = set()
        model_behaviour._collect_secrets(self.config, spec, spec, secrets)
        secrets.discard("")
        return model_behaviour._masked(self.config, secrets)

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
            # a validator's ValueError is what pydantic reports as a validation error
            raise ValueError("the manifest is a path, an http(s) URL or a mapping")  # noqa: TRY004
        return value
