"""Deterministic synthetic connector registry for the schema export benchmarks.

The document has the shape of airbyte's registry: {"sources": [...],
"destinations": [...]}, each entry carrying "dockerRepository",
"dockerImageTag" and "spec": {"connectionSpecification": schema}.  The schemas
are built to look like real connector specs and to hit the awkward corners of
the export: oneOf options with "const" discriminators (plain strings, strings
with "," or "|", numbers, booleans, null, arrays and objects), nested objects,
arrays of objects, long descriptions, non-ASCII text including a character
above U+FFFF, "airbyte_secret" fields and defaults of every JSON type.

    python bench/make_registry.py OUT.json               # ~2.5 MB, 500 entries
    python bench/make_registry.py OUT.json --replicas 10 # ~25 MB, 5000 entries

With --replicas N the base entries are written N times over, each copy under
its own connector name and tag.  A sidecar OUT.names.json lists every
connector name in the document.

Connectors come in airbyte's three kinds in the real registry's proportions
(of its 559 connectors, 387 of the 510 sources are manifest-only, and of the
rest 100 are on PyPI and 72 run only as Docker images), spread evenly over
the document: 265 manifest-only, 136 PyPI and 99 Docker connectors of 500.
With --no-manifests the manifest-only ones carry no language, so airbyte
(and corvel) take them for Docker connectors: for runs that have no manifest
store to fetch from.
"""

from __future__ import annotations

import argparse
import copy
import json
import random
import sys
from pathlib import Path

from corvel.registry import registry_entries

SEED = 20240611
SOURCES = 350
DESTINATIONS = 150
MANIFEST_SHARE = 387 / 510  # of the sources
PYPI_SHARE = 100 / 172  # of the connectors that are not manifest-only

SERVICES = [
    "postgres", "mysql", "mssql", "oracle", "mongodb", "salesforce", "hubspot",
    "stripe", "zendesk", "jira", "github", "gitlab", "shopify", "s3", "gcs",
    "bigquery", "snowflake", "redshift", "kafka", "pubsub", "sftp", "facebook",
    "google-ads", "linkedin", "intercom", "mailchimp", "klaviyo", "notion",
    "airtable", "asana", "slack", "twilio", "marketo", "netsuite", "workday",
    "xero", "quickbooks", "pipedrive", "freshdesk", "amplitude", "mixpanel",
    "segment", "braze", "iterable", "clickhouse", "duckdb", "elasticsearch",
    "firestore", "dynamodb", "cassandra", "redis", "pinecone", "weaviate",
]

# Sentences descriptions are built from.  Several carry text json.dumps has to
# escape: accents, Greek, CJK, an emoji above U+FFFF, quotes, backslashes,
# newlines and tabs, plus a literal '{"const": ...}' inside prose (escaped in
# the output, so it must not be rewritten).
SENTENCES = [
    "The connector reads every stream incrementally when a cursor field is available.",
    "See the <a href=\"https://docs.airbyte.com/integrations\">setup guide</a> for the scopes this token needs.",
    "Le connecteur synchronise les données de façon incrémentale à partir de la date indiquée.",
    "Die Verbindung wird über TLS aufgebaut; selbstsignierte Zertifikate werden abgelehnt.",
    "Clientes en São Paulo, Kraków, Zürich and Malmö are served from the nearest región.",
    "数据同步将在每个周期运行，并且只读取自上次同步以来更改的记录。",
    "データは毎日同期されます。大きなテーブルは分割して読み込まれます。",
    "사용자 이름과 비밀번호는 암호화되어 저장됩니다.",
    "Ελληνικά κείμενα και σύμβολα όπως € και £ διατηρούνται.",
    "🚀 Faster syncs: rows are fetched in pages of up to 10,000 records. 🧩",
    "Use a value like \"2021-01-01T00:00:00Z\"; anything older is ignored.",
    "Patterns are regular expressions such as ^[a-z0-9_]+\\.csv$ or \\d{4}-\\d{2}.",
    "Line one of a multi-line note.\nLine two, indented:\n\t- a tab-led bullet",
    "To pin a value write {\"const\": 1} in the override, e.g. {\"const\": \"a,b\"}.",
    "Records larger than 16 MB are skipped | logged | counted, depending on the policy.",
    "When unset, the default of the API is used, which may change between releases.",
    "Only tables the user can SELECT from are discovered; views are included.",
    "Leave empty to replicate all schemas. Wildcards (*) are not supported.",
]

WORDS = [
    "account", "region", "bucket", "schema", "table", "cursor", "window",
    "batch", "page", "token", "scope", "endpoint", "timeout", "retry",
    "partition", "format", "encoding", "compression", "namespace", "filter",
]


def _description(rng: random.Random, lo: int = 1, hi: int = 1) -> str:
    return " ".join(rng.choice(SENTENCES) for _ in range(rng.randint(lo, hi)))


def _title(key: str) -> str:
    return key.replace("_", " ").title()


def _secret(rng: random.Random, key: str, order: int) -> dict:
    field = {"type": "string", "title": _title(key), "airbyte_secret": True, "order": order}
    if rng.random() < 0.4:
        field["description"] = _description(rng, 1, 1)
    return field


def _host_fields(rng: random.Random) -> dict:
    port = rng.choice([5432, 3306, 1433, 1521, 27017, 443, 22])
    return {
        "host": {"type": "string", "title": "Host", "description": _description(rng, 1, 2),
                 "examples": ["db.example.com", "10.0.0.12"], "order": 0},
        "port": {"type": "integer", "title": "Port", "default": port, "minimum": 0,
                 "maximum": 65536, "examples": [str(port)], "order": 1},
        "database": {"type": "string", "title": "Database Name", "order": 2},
        "username": {"type": "string", "title": "Username", "order": 3},
        "password": _secret(rng, "password", 4),
        "jdbc_url_params": {"type": "string", "title": "JDBC URL Params",
                            "description": _description(rng), "order": 5},
    }


def _start_date(rng: random.Random) -> dict:
    return {
        "type": "string",
        "title": "Start Date",
        "format": "date-time",
        "pattern": "^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$",
        "pattern_descriptor": "YYYY-MM-DDTHH:mm:ssZ",
        "examples": ["2017-01-25T00:00:00Z"],
        "description": _description(rng),
    }


def _option(rng: random.Random, title: str, disc: str, const, extra: dict) -> dict:
    props = {disc: {"type": "string" if isinstance(const, str) else "integer",
                    "const": const, "order": 0}}
    if rng.random() < 0.5:
        props[disc]["default"] = const
    props.update(extra)
    return {"title": title, "type": "object", "required": [disc, *extra][:2],
            "properties": props}


def _credentials(rng: random.Random) -> dict:
    return {
        "type": "object",
        "title": "Authentication",
        "description": _description(rng),
        "order": 1,
        "oneOf": rng.sample([
            _option(rng, "OAuth2.0", "auth_type", "oauth2.0", {
                "client_id": {"type": "string", "title": "Client ID", "airbyte_secret": True},
                "client_secret": _secret(rng, "client_secret", 2),
                "refresh_token": _secret(rng, "refresh_token", 3),
            }),
            _option(rng, "API Token", "auth_type", rng.choice(["api_token", "Token", "apikey"]), {
                "api_token": _secret(rng, "api_token", 1),
            }),
            _option(rng, "Service Account, JSON key", "auth_type",
                    # a comma inside the const: the rewrite stops at it
                    "Service Account, JSON", {
                        "credentials_json": _secret(rng, "credentials_json", 1),
                    }),
        ], 2),
    }


def _tunnel(rng: random.Random) -> dict:
    common = {
        "tunnel_host": {"type": "string", "title": "SSH Tunnel Jump Server Host", "order": 1},
        "tunnel_port": {"type": "integer", "title": "SSH Connection Port", "default": 22,
                        "minimum": 0, "maximum": 65536, "order": 2},
        "tunnel_user": {"type": "string", "title": "SSH Login Username", "order": 3},
    }
    return {
        "type": "object",
        "title": "SSH Tunnel Method",
        "description": _description(rng, 1, 2),
        "oneOf": [
            _option(rng, "No Tunnel", "tunnel_method", "NO_TUNNEL", {}),
            _option(rng, "SSH Key Authentication", "tunnel_method", "SSH_KEY_AUTH",
                    {**common, "ssh_key": {**_secret(rng, "ssh_key", 4), "multiline": True}}),
            _option(rng, "Password Authentication", "tunnel_method", "SSH_PASSWORD_AUTH",
                    {**common, "tunnel_user_password": _secret(rng, "tunnel_user_password", 4)}),
        ],
    }


def _replication(rng: random.Random) -> dict:
    # numeric, boolean and null discriminators next to string ones
    return {
        "type": "object",
        "title": "Update Method",
        "description": _description(rng, 1, 3),
        "default": "CDC",
        "oneOf": [
            _option(rng, "Read Changes using Write-Ahead Log (CDC)", "method", "CDC", {
                "initial_waiting_seconds": {"type": "integer", "default": 300, "minimum": 120,
                                            "maximum": 1200},
                "lsn_commit_behaviour": {"type": "string", "enum": ["While reading Data",
                                         "After loading Data in the destination"],
                                         "default": "After loading Data in the destination"},
            }),
            _option(rng, "Scan Changes with User Defined Cursor", "method", "STANDARD", {}),
            {"title": "Protocol version", "type": "object", "properties": {
                "version": {"type": "integer", "const": rng.choice([1, 2, 3]), "order": 0},
                "ratio": {"type": "number", "const": rng.choice([0.5, 2.5, -3.25, 1e-05])},
                "enabled": {"type": "boolean", "const": rng.choice([True, False])},
                "nothing": {"const": None},
            }},
        ],
    }


def _output_format(rng: random.Random) -> dict:
    options = [
        _option(rng, "CSV: Comma-Separated Values", "format_type", "CSV", {
            "flattening": {"type": "string", "title": "Flattening", "default": "No flattening",
                           "enum": ["No flattening", "Root level flattening"]},
            "delimiter": {"type": "string", "title": "Delimiter", "default": ",",
                          "description": _description(rng, 1, 2)},
        }),
        _option(rng, "JSON Lines: Newline-delimited JSON", "format_type", "JSONL", {}),
        _option(rng, "Parquet: Columnar Storage", "format_type", "Parquet", {
            "compression_codec": {"type": "string", "default": "UNCOMPRESSED",
                                  "enum": ["UNCOMPRESSED", "SNAPPY", "GZIP", "LZO", "BROTLI",
                                           "LZ4", "ZSTD"]},
            "block_size_mb": {"type": "integer", "default": 128, "examples": [128]},
            "dictionary_encoding": {"type": "boolean", "default": True},
        }),
        # consts with "|" and with a comma followed by more text
        _option(rng, "Custom delimited", "format_type", "pipe|delimited", {
            "separator": {"type": "string", "const": "a,b|c", "default": "a,b|c"},
        }),
    ]
    if rng.random() < 0.5:
        options.append(_option(rng, "Avro: Apache Avro", "format_type", "Avro", {
            "compression_codec": {"type": "object", "oneOf": [
                _option(rng, "No Compression", "codec", "no compression", {}),
                _option(rng, "Deflate", "codec", "Deflate",
                        {"compression_level": {"type": "integer", "default": 0,
                                               "minimum": 0, "maximum": 9}}),
            ]},
        }))
    return {"type": "object", "title": "Output Format", "description": _description(rng),
            "oneOf": options}


def _streams(rng: random.Random) -> dict:
    return {
        "type": "array",
        "title": "Streams",
        "description": _description(rng, 1, 3),
        "default": [],
        "items": {
            "type": "object",
            "required": ["name", "format"],
            "properties": {
                "name": {"type": "string", "title": "Name"},
                "globs": {"type": "array", "items": {"type": "string"}, "default": ["**"],
                          "order": 1},
                "primary_key": {"type": "array", "items": {"type": "array",
                                                           "items": {"type": "string"}},
                                "default": [["id"]]},
                "sync_mode": {"type": "string", "enum": ["full_refresh", "incremental"],
                              "default": "incremental"},
                "days_to_sync_if_history_is_full": {"type": "integer", "default": 3},
                "validation_policy": {"type": "string", "default": "Emit Record",
                                      "enum": ["Emit Record", "Skip Record", "Wait for Discover"]},
            },
        },
    }


def _advanced(rng: random.Random, depth: int = 2) -> dict:
    props: dict = {}
    for _ in range(rng.randint(1, 3)):
        key = "_".join(rng.sample(WORDS, 2))
        kind = rng.random()
        if kind < 0.3:
            props[key] = {"type": "integer", "default": rng.randint(0, 10_000),
                          "minimum": 0, "description": _description(rng, 1, 2)}
        elif kind < 0.5:
            props[key] = {"type": "boolean", "default": rng.random() < 0.5}
        elif kind < 0.7:
            props[key] = {"type": "array", "items": {"type": "string"},
                          "default": rng.sample(WORDS, 3), "uniqueItems": True}
        else:
            props[key] = {"type": "string", "default": rng.choice(WORDS),
                          "description": _description(rng, 1, 3)}
    if depth > 1 and rng.random() < 0.3:
        props["nested"] = _advanced(rng, depth - 1)
    return {"type": "object", "title": "Advanced", "description": _description(rng),
            "default": {}, "properties": props}


def _rare_consts(rng: random.Random, props: dict) -> None:
    """Array and object consts (they span lines once indented), empty ones
    (they stay on one line), a quoted const and a property literally named
    "const"."""
    props["scopes"] = {"type": "array", "title": "Scopes",
                       "const": ["read:" + rng.choice(WORDS), "write:" + rng.choice(WORDS)]}
    props["mode_settings"] = {"type": "object", "const": {"mode": "strict", "level": 2}}
    props["empty_list"] = {"type": "array", "const": []}
    props["empty_object"] = {"type": "object", "const": {}}
    props["greeting"] = {"type": "string", "const": "say \"hi\", then \\wave"}
    props["label"] = {"type": "string", "const": ""}
    props["constants"] = {"type": "object", "properties": {
        "const": {"type": "string", "title": "Constant column value",
                  "description": _description(rng, 1, 1)},
    }}


def _schema(rng: random.Random, kind: str, service: str) -> dict:
    props: dict = {}
    if rng.random() < 0.5:
        props.update(_host_fields(rng))
    else:
        props["api_key"] = _secret(rng, "api_key", 0)
    props["start_date"] = _start_date(rng)
    props["credentials"] = _credentials(rng)
    if rng.random() < 0.25:
        props["tunnel_method"] = _tunnel(rng)
    if kind == "source":
        props["replication_method"] = _replication(rng)
        if rng.random() < 0.6:
            props["streams"] = _streams(rng)
    else:
        props["format"] = _output_format(rng)
        if rng.random() < 0.4:
            props["loading_method"] = _replication(rng)
    props["advanced"] = _advanced(rng)
    if rng.random() < 0.08:
        _rare_consts(rng, props)
    props["título_del_informe"] = {"type": "string", "title": "Título del informe",
                                   "default": "Résumé — 概要 🚀"}
    return {
        "$schema": "http://json-schema.org/draft-07/schema#",
        "title": f"{_title(service)} {kind.title()} Spec",
        "type": "object",
        "required": [k for k in list(props)[:3]],
        "additionalProperties": True,
        "properties": props,
    }


def build_base(seed: int = SEED) -> dict:
    """The base registry: SOURCES + DESTINATIONS entries, schemas only depend on seed."""
    rng = random.Random(seed)
    registry: dict = {"sources": [], "destinations": []}
    for typ, kind, count in (("sources", "source", SOURCES),
                             ("destinations", "destination", DESTINATIONS)):
        for _ in range(count):
            service = rng.choice(SERVICES)
            registry[typ].append({
                "service": service,
                "spec": {"connectionSpecification": _schema(rng, kind, service)},
            })
    return registry


def _every(position: int, share: float) -> bool:
    """Whether the POSITION-th item is one of SHARE of them, spread evenly."""
    return int((position + 1) * share) > int(position * share)


def _language(kind: str, position: int, rest: int, name: str, manifests: bool) -> dict:
    """The members that make an entry manifest-only, PyPI or Docker, as airbyte reads them; REST counts the
    connectors before it that are not manifest-only."""
    if kind == "source" and _every(position, MANIFEST_SHARE):
        return {"language": "manifest-only", "tags": ["language:manifest-only"]} if manifests else {}
    if _every(rest, PYPI_SHARE):
        return {"language": "python", "tags": ["language:python"],
                "remoteRegistries": {"pypi": {"enabled": True, "packageName": f"airbyte-{name}"}}}
    return {"language": "java", "tags": ["language:java"]}


def build_registry(seed: int = SEED, replicas: int = 1, manifests: bool = True) -> dict:
    """The base entries `replicas` times over; connector N is
    airbyte/<kind>-<service>-N with tag 1.2.N, N unique across the document."""
    base = build_base(seed)
    out: dict = {"sources": [], "destinations": []}
    n = rest = 0
    for _ in range(replicas):
        for typ, kind in (("sources", "source"), ("destinations", "destination")):
            for position, entry in enumerate(base[typ]):
                n += 1
                name = f"{kind}-{entry['service']}-{n}"
                language = _language(kind, position, rest, name, manifests)
                rest += not (kind == "source" and _every(position, MANIFEST_SHARE))
                out[typ].append({
                    "sourceDefinitionId" if kind == "source" else "destinationDefinitionId":
                        f"{n:08x}-0000-4000-8000-{n:012x}",
                    "name": f"{_title(entry['service'])} {n}",
                    "dockerRepository": f"airbyte/{kind}-{entry['service']}-{n}",
                    "dockerImageTag": f"1.2.{n}",
                    "documentationUrl": f"https://docs.airbyte.com/integrations/{typ}/{entry['service']}",
                    "releaseStage": "generally_available",
                    **language,
                    "spec": copy.deepcopy(entry["spec"]),
                })
    return out


def connector_names(registry: dict) -> list[str]:
    return [entry.name for entry in registry_entries(registry)]


def write_registry(path: str | Path, seed: int = SEED, replicas: int = 1, manifests: bool = True) -> dict:
    """Write the registry to `path` and its connector names to <path stem>.names.json."""
    path = Path(path)
    registry = build_registry(seed, replicas, manifests)
    text = json.dumps(registry, ensure_ascii=False, separators=(",", ":"))
    path.write_text(text, encoding="utf-8")
    names = connector_names(registry)
    path.with_suffix(".names.json").write_text(json.dumps(names), encoding="utf-8")
    return {"path": str(path), "bytes": len(text.encode("utf-8")), "entries": len(names)}


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out", help="registry JSON file to write")
    ap.add_argument("--replicas", type=int, default=1)
    ap.add_argument("--seed", type=int, default=SEED)
    ap.add_argument("--no-manifests", action="store_true", help="no manifest-only connectors: Docker ones instead")
    args = ap.parse_args(argv)
    info = write_registry(args.out, args.seed, args.replicas, not args.no_manifests)
    print(json.dumps(info))
    return 0


if __name__ == "__main__":
    sys.exit(main())
