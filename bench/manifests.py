"""What vendoring manifests costs `--all` on a registry of manifest-only connectors.

    python bench/manifests.py              # 3 repetitions
    python bench/manifests.py --reps 1

The registry is bench/make_registry.py's with 400 of its 500 connectors
manifest-only (every source and the first 50 destinations); a local HTTP
server is their manifest store (CORVEL_MANIFEST_URL), serving for each a
declarative manifest of about the size of a real one (some 20 kB) that
carries its entry's spec, and custom components for every tenth.  Every
`corvel-generate` run is a new process, as a user runs it, with the model
cache full.  The baseline is `--all` into an empty directory on the same
registry without manifest-only connectors; against it:

  * manifests, cache full: `--all` with the manifests' content cache filled
    by an earlier run, so nothing is fetched;
  * manifests, cache empty: every manifest fetched from the store.

The report gives medians and ratios against the baseline.  The benchmark
fails when a run fails, when a tree lacks one of the 400 manifests, or when
its schemas, models and index are not the baseline's byte for byte.
"""

from __future__ import annotations

import argparse
import hashlib
import http.server
import io
import json
import os
import shutil
import statistics
import sys
import tempfile
import threading
import zipfile
from pathlib import Path

import yaml

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import make_registry  # noqa: E402
from measuring import default_tmp  # noqa: E402
from tree_lock import generate  # noqa: E402

MANIFEST_ONLY = 400
MODES = ("all, no manifests", "manifests, cache full", "manifests, cache empty")


def manifest(entry: dict) -> bytes:
    """A declarative manifest for ENTRY: its spec and a dozen streams, about the size of a real one."""
    streams = [{
        "type": "DeclarativeStream",
        "name": f"stream_{n}",
        "primary_key": ["id"],
        "retriever": {
            "type": "SimpleRetriever",
            "requester": {"type": "HttpRequester", "url_base": "https://api.example.com/v1", "path": f"/stream_{n}",
                          "authenticator": {"type": "BearerAuthenticator", "api_token": "{{ config['api_key'] }}"}},
            "record_selector": {"type": "RecordSelector", "extractor": {"type": "DpathExtractor", "field_path": ["data"]}},
            "paginator": {"type": "DefaultPaginator",
                          "pagination_strategy": {"type": "CursorPagination", "cursor_value": "{{ response.next }}"}},
        },
        "schema_loader": {"type": "InlineSchemaLoader", "schema": {
            "type": "object", "properties": {f"field_{f}": {"type": ["null", "string"]} for f in range(12)}}},
    } for n in range(12)]
    document = {"version": "6.0.0", "type": "DeclarativeSource",
                "check": {"type": "CheckStream", "stream_names": ["stream_0"]}, "streams": streams,
                "spec": {"type": "Spec", "connection_specification": entry["spec"]["connectionSpecification"]}}
    dumper = getattr(yaml, "CSafeDumper", yaml.SafeDumper)
    return yaml.dump(document, Dumper=dumper, sort_keys=False, allow_unicode=True).encode()


class Store:
    """The manifest store on 127.0.0.1: ROUTES maps a path to its body, anything else is 404."""

    def __init__(self, routes: dict[str, bytes]) -> None:
        class Handler(http.server.BaseHTTPRequestHandler):
            disable_nagle_algorithm = True  # headers and body go out at once, as a real server sends them
            protocol_version = "HTTP/1.1"  # connections are kept open between requests, as a real store keeps them

            def do_GET(self):
                body = routes.get(self.path)
                self.send_response(404 if body is None else 200)
                self.send_header("Content-Length", str(len(body or b"")))
                self.end_headers()
                self.wfile.write(body or b"")

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def close(self) -> None:
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


def with_manifests(document: dict) -> tuple[dict, dict[str, bytes]]:
    """DOCUMENT with its first MANIFEST_ONLY connectors manifest-only, and the store's routes for them."""
    document = json.loads(json.dumps(document))
    routes = {}
    for position, entry in enumerate((document["sources"] + document["destinations"])[:MANIFEST_ONLY]):
        entry.update(language="manifest-only", tags=["language:manifest-only"])
        entry.pop("remoteRegistries", None)
        folder = f"/{entry['dockerRepository'].removeprefix('airbyte/')}/{entry['dockerImageTag']}"
        routes[f"{folder}/manifest.yaml"] = manifest(entry)
        if position % 10 == 0:
            archive = io.BytesIO()
            with zipfile.ZipFile(archive, "w") as zipped:
                zipped.writestr("components.py", f"# custom components of connector {position}\n" * 40)
            routes[f"{folder}/components.zip"] = archive.getvalue()
    return document, routes


def digest(configs: Path) -> str:
    """The tree's schemas, models and index."""
    sha = hashlib.sha256()
    for path in sorted(configs.rglob("*")):
        relative = path.relative_to(configs)
        if path.is_file() and relative.parts[0] in ("jsonschema", "model", "__init__.py"):
            sha.update(str(relative).encode() + b"\0" + path.read_bytes())
    return sha.hexdigest()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--tmp", metavar="DIR", default=default_tmp())
    args = parser.parse_args(argv)
    work = Path(tempfile.mkdtemp(prefix="corvel-bench-manifests-", dir=args.tmp))
    os.environ["XDG_CACHE_HOME"] = str(work / "cache")  # the run's own caches, filled below
    plain = make_registry.build_registry(manifests=False)
    document, routes = with_manifests(plain)
    store = Store(routes)
    os.environ["CORVEL_MANIFEST_URL"] = store.url + "/{name}/{version}/manifest.yaml"
    try:
        registries = {"plain": work / "plain.json", "manifests": work / "manifests.json"}
        for path, content in zip(registries.values(), (plain, document)):
            path.write_text(json.dumps(content), encoding="utf-8")
        sizes = [len(body) for path, body in routes.items() if path.endswith(".yaml")]
        print(f"{len(sizes)} manifest-only connectors of {len(plain['sources']) + len(plain['destinations'])}, "
              f"manifests of {statistics.median(sizes) / 1e3:.0f} kB (median), "
              f"{sum(p.endswith('.zip') for p in routes)} with custom components")
        generate("--registry", str(registries["manifests"]), "--all", "--output-dir", str(work / "warm"))  # fills both caches
        walls: dict[str, list[float]] = {mode: [] for mode in MODES}
        expected = None
        for rep in range(args.reps):
            base = work / f"plain-{rep}"
            walls[MODES[0]].append(generate("--registry", str(registries["plain"]), "--all", "--output-dir", str(base)))
            expected = expected or digest(base / "connector_configs")
            for mode in MODES[1:]:
                if mode.endswith("cache empty"):
                    shutil.rmtree(work / "cache" / "corvel" / "manifests", ignore_errors=True)
                out = work / f"{mode.split()[-1]}-{rep}"
                walls[mode].append(generate("--registry", str(registries["manifests"]), "--all", "--output-dir", str(out)))
                configs = out / "connector_configs"
                vendored = len(list(configs.glob("manifests/*/manifest.yaml")))
                if vendored != MANIFEST_ONLY or digest(configs) != expected:
                    print(f"{configs}: {vendored} manifests vendored, or models other than the baseline's", file=sys.stderr)
                    return 1
        baseline = statistics.median(walls[MODES[0]])
        for mode in MODES:
            median = statistics.median(walls[mode])
            print(f"{mode:>22}: {median:7.2f} s  ({median / baseline:5.2f} x {MODES[0]})")
        return 0
    finally:
        store.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
