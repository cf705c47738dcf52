import json
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import make_registry  # noqa: E402


@pytest.fixture(scope="module")
def base():
    return make_registry.build_registry()


@pytest.fixture(scope="module")
def base_text(base):
    return json.dumps(base, ensure_ascii=False, separators=(",", ":"))


def test_same_seed_same_document_other_seed_other_document(base_text):
    again = json.dumps(make_registry.build_registry(), ensure_ascii=False, separators=(",", ":"))
    other = json.dumps(make_registry.build_registry(seed=1), ensure_ascii=False, separators=(",", ":"))
    assert again == base_text
    assert other != base_text


def test_base_size_and_entry_count(base, base_text):
    assert len(base["sources"]) + len(base["destinations"]) >= 500
    assert 2.2e6 < len(base_text.encode()) < 2.9e6


def test_replicas_get_distinct_names_and_tags():
    reg = make_registry.build_registry(replicas=3)
    names = make_registry.connector_names(reg)
    assert len(names) == 3 * (make_registry.SOURCES + make_registry.DESTINATIONS)
    assert len(set(names)) == len(names)
    tags = [e["dockerImageTag"] for t in ("sources", "destinations") for e in reg[t]]
    assert len(set(tags)) == len(tags)
    # copies are independent objects: editing one schema leaves its twin alone
    first, twin = reg["sources"][0], reg["sources"][len(reg["sources"]) // 3]
    assert first["spec"] == twin["spec"]
    first["spec"]["connectionSpecification"]["title"] = "changed"
    assert twin["spec"]["connectionSpecification"]["title"] != "changed"


def test_every_entry_has_what_the_export_reads(base):
    for typ, kind in (("sources", "source"), ("destinations", "destination")):
        for e in base[typ]:
            assert e["dockerRepository"].startswith(f"airbyte/{kind}-")
            assert e["dockerImageTag"].startswith("1.2.")
            assert isinstance(e["spec"]["connectionSpecification"]["properties"], dict)


def test_covers_the_awkward_cases(base, base_text):
    consts = []

    def walk(o, key=None):
        if isinstance(o, dict):
            # under "properties", "const" is a property name, not a const
            if "const" in o and key != "properties":
                consts.append(o["const"])
            for k, v in o.items():
                walk(v, k)
        elif isinstance(o, list):
            for v in o:
                walk(v)

    walk(base)
    strings = [c for c in consts if isinstance(c, str)]
    assert any("," in c for c in strings)
    assert any("|" in c for c in strings)
    assert any(isinstance(c, bool) for c in consts)
    assert any(isinstance(c, int | float) and not isinstance(c, bool) for c in consts)
    assert None in consts
    assert any(isinstance(c, list) and c for c in consts)
    assert any(isinstance(c, dict) and c for c in consts)
    assert [] in consts and {} in consts
    # a property named "const" (its value is a schema, not a const value)
    assert '"const":{"type":"string"' in base_text
    assert any(ord(ch) > 0xFFFF for ch in base_text)
    assert any(0x4E00 <= ord(ch) <= 0x9FFF for ch in base_text)
    assert '"airbyte_secret":true' in base_text
    assert '"default":' in base_text


def test_write_registry_writes_names_sidecar(tmp_path):
    info = make_registry.write_registry(tmp_path / "r.json")
    names = json.loads((tmp_path / "r.names.json").read_text())
    doc = json.loads((tmp_path / "r.json").read_text(encoding="utf-8"))
    assert names == make_registry.connector_names(doc)
    assert info["entries"] == len(names)
    assert info["bytes"] == (tmp_path / "r.json").stat().st_size
