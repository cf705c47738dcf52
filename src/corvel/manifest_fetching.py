"""When and from where a run fetches the manifests it vendors: the store checked before anything is
generated, the fetch beside the generator or ahead of airbyte's import, and what became of each manifest."""

from __future__ import annotations

from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from contextlib import ExitStack

from corvel import manifests
from corvel.errors import Stop
from corvel.lock import LockRecord
from corvel.model_cache import default_directory
from corvel.registry_selection import stop_if_switched_off
from corvel.reporting import Reporter
from corvel.run_options import Generation
from corvel.run_outcome import HELD, ManifestFate, Record

Answers = dict[str, manifests.Fetched | manifests.FetchError]  # by versioned name


def check_store(fetching: list[LockRecord], store: manifests.AirbyteStore | None = None) -> None:
    """Stop when manifests are to be fetched and the location or timeout of the store (by default the
    installed airbyte's) cannot be used."""
    if fetching:
        try:
            (store or manifests.AirbyteStore.installed()).urls("{name}", "{version}")
            manifests.fetch_timeout()
        except manifests.StoreError as error:
            raise Stop(str(error)) from error


def fetch_manifests(generation: Generation, fetching: list[LockRecord], reporter: Reporter | None,
                    store: manifests.AirbyteStore | None = None) -> Answers:
    """The manifests of FETCHING from STORE (by default the installed airbyte's; through the cache), by
    versioned name, with their progress told to REPORTER when given."""
    if not fetching:
        return {}
    store = store or manifests.AirbyteStore.installed()
    check_store(fetching, store)
    cache = manifests.ManifestCache(generation.cache_dir or default_directory()) if generation.caches else None
    if reporter is None:
        return manifests.fetch_all(fetching, store, generation.jobs, cache)
    with reporter.progress("fetching manifests", len(fetching), timed=False) as progress:
        return manifests.fetch_all(fetching, store, generation.jobs, cache, progress.advance)


def switch_then_fetch(generation: Generation, location: str, fetching: list[LockRecord],
                      cleanup: ExitStack) -> Future[Answers] | None:
    """Stop when airbyte's offline switch turns the registry file at LOCATION off, as stop_if_switched_off.

    Asking imports airbyte, which takes seconds. Meanwhile the manifests of
    FETCHING are fetched from the moment airbyte has loaded the switch, from
    its store as an earlier run remembered it (``manifests.remembered_store``),
    so that a store that answers slowly, or not at all, is waited for beside
    the rest of the import rather than after it. The future of that fetch;
    None when it did not start (nothing remembered, the caches off, airbyte
    imported already), or when the store it asked is no longer airbyte's,
    whose answers are then left to end unused with the run.
    """
    from corvel.compat import watching_registry_switch

    directory = generation.cache_dir or default_directory()
    early = bool(fetching) and generation.caches
    remembered = manifests.remembered_store(directory) if early else None
    started: list[Future[Answers]] = []

    def switch_loaded(switched_off: Callable[[str], bool]) -> None:
        if remembered is not None and not started and not switched_off(location):
            beside = cleanup.enter_context(ThreadPoolExecutor(1, thread_name_prefix="corvel-fetch"))
            started.append(beside.submit(fetch_manifests, generation, fetching, None, remembered))

    with watching_registry_switch(switch_loaded):
        stop_if_switched_off(location)  # imports airbyte
    if not early:
        return None
    installed = manifests.AirbyteStore.installed()
    if installed != remembered:
        manifests.remember_store(directory, installed)
        return None
    return started[0] if started else None


def note_manifest(record: Record, planned: LockRecord,
                  answer: manifests.Fetched | manifests.FetchError | None) -> None:
    """What became of RECORD's manifest, when the run fetched one for it."""
    record.connector_kind = planned.connector_kind
    if answer is None or record.status not in HELD:
        return
    if isinstance(answer, manifests.FetchError):
        record.manifest, record.manifest_error = ManifestFate.NOT_VENDORED, str(answer)
    else:
        record.manifest = ManifestFate.FETCHED_AGAIN if planned.manifest_files else ManifestFate.VENDORED
