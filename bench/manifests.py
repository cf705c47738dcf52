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
  * store refused, store answering after the timeout: the manifests' cache
    empty and the store out of reach, its port refusing at once, or taking
    the connection and answering only after the fetch timeout
    (CORVEL_MANIFEST_TIMEOUT, set to SLOW_TIMEOUT s here); every manifest is
    named as not vendored and the run exits 1;
  * manifests, cache empty: every manifest fetched from the store.

The report gives medians and ratios against the baseline, and for an
unreachable store against the full cache (target: at most 1.1).  The benchmark
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
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zipfile
from pathlib import Path

import yaml

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import make_registry  # noqa: E402
from measuring import default_tmp  # noqa: E402
from tree_lock import generate  # noqa: E402

MANIFEST_ONLY = 400
MODES = ("all, no manifests", "manifests, cache full", "store refused", "store answering after the timeout",
         "manifests, cache empty")
UNREACHABLE = MODES[2:4]
SLOW_TIMEOUT = 5.0  # seconds
UNREACHABLE_TARGET = 1.1  # times the full cache


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


class SilentStore:
    """A port on 127.0.0.1 that takes connections and answers none of them until it is closed."""

    def __init__(self) -> None:
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = f"http://127.0.0.1:{self.listener.getsockname()[1]}/{{name}}/{{version}}/manifest.yaml"
        self.held: list[socket.socket] = []
        self.thread = threading.Thread(target=self._hold, daemon=True)
        self.thread.start()

    def _hold(self) -> None:
        while True:
            try:
                self.held.append(self.listener.accept()[0])
            except OSError:  # closed
                return

    def close(self) -> None:
        self.listener.shutdown(socket.SHUT_RDWR)
        self.listener.close()
        self.thread.join()
        for connection in self.held:
            connection.close()


def refusing_url() -> str:
    """A store URL whose port nothing listens on: the connection is refused at once."""
    with socket.create_server(("127.0.0.1", 0)) as probe:
        port = probe.getsockname()[1]
    return f"http://127.0.0.1:{port}/{{name}}/{{version}}/manifest.yaml"


def unreachable_run(registry: Path, out: Path) -> float:
    """`--all` with the store out of reach: its wall time, after checking that it named every manifest and
    exited 1."""
    report = out.with_suffix(".report.json")
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "corvel.cli", "--registry", str(registry), "--all", "--output-dir",
                           str(out), "--report", str(report)], capture_output=True, text=True)
    wall = time.perf_counter() - started
    named = sum(bool(r["manifest_error"]) for r in json.loads(report.read_text(encoding="utf-8"))["connectors"])
    if done.returncode != 1 or named != MANIFEST_ONLY:
        raise SystemExit(f"an unreachable store: exit {done.returncode}, {named} manifests named:\n{done.stderr[-2000:]}")
    return wall


def digest(configs: Path) -> str:
    """The tree's schemas, models and index."""
    sha = hashlib.sha256()
    for path in sorted(configs.rglob("*")):
        relative = path.relative_to(configs)
        if path.is_file() and relative.parts[0] in ("jsonschema", "model", "__init__.py"):
            sha.update(str(relative).encode() + b"\0" + path.read_bytes())
    return sha.hexdigest()


def unreachable(mode: str, registry: Path, out: Path) -> float:
    """An unreachable_run with the store of MODE in place of the real one."""
    saved = os.environ["CORVEL_MANIFEST_URL"]
    silent = SilentStore() if mode == UNREACHABLE[1] else None
    os.environ["CORVEL_MANIFEST_URL"] = silent.url if silent else refusing_url()
    os.environ["CORVEL_MANIFEST_TIMEOUT"] = str(SLOW_TIMEOUT)
    try:
        return unreachable_run(registry, out)
    finally:
        os.environ["CORVEL_MANIFEST_URL"] = saved
        del os.environ["CORVEL_MANIFEST_TIMEOUT"]
        if silent:
            silent.close()


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
                if mode != MODES[1]:
                    shutil.rmtree(work / "cache" / "corvel" / "manifests", ignore_errors=True)
                out = work / f"{mode.replace(' ', '-')}-{rep}"
                if mode in UNREACHABLE:
                    walls[mode].append(unreachable(mode, registries["manifests"], out))
                    continue
                walls[mode].append(generate("--registry", str(registries["manifests"]), "--all", "--output-dir", str(out)))
                configs = out / "connector_configs"
                vendored = len(list(configs.glob("manifests/*/manifest.yaml")))
                if vendored != MANIFEST_ONLY or digest(configs) != expected:
                    print(f"{configs}: {vendored} manifests vendored, or models other than the baseline's", file=sys.stderr)
                    return 1
        baseline, cached = statistics.median(walls[MODES[0]]), statistics.median(walls[MODES[1]])
        for mode in MODES:
            median = statistics.median(walls[mode])
            line = f"{mode:>33}: {median:7.2f} s  ({median / baseline:5.2f} x {MODES[0]})"
            if mode in UNREACHABLE:
                line += f", {median / cached:5.2f} x {MODES[1]} (target <= {UNREACHABLE_TARGET})"
            print(line)
        return 0
    finally:
        store.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
