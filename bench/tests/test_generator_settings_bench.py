import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import generator_settings  # noqa: E402


def registry_runs(after_written=("a", "b")):
    def run(wall, written=("a", "b"), digest="tree"):
        return {"ok": True, "wall_s": wall, "cpu_s": wall, "status": 0, "written": list(written), "digest": digest}

    return {("before", 1): [run(100, digest="old")], ("after", 1): [run(60, after_written)],
            ("before", 2): [run(55, digest="old")], ("after", 2): [run(40, after_written)]}


def test_registry_report_gives_after_over_before_and_fails_on_different_sets_or_the_same_trees():
    imports = {"before": {"modules": 2, "failures": {}, "index_error": None},
               "after": {"modules": 2, "failures": {"b": "ValidationError: x"}, "index_error": "ValueError: y"}}
    lines, ok = generator_settings.registry_report(registry_runs(), imports, 2)
    text = "\n".join(lines)
    assert ok and "jobs 1: after / before = 0.60 (paired within each repetition: 0.60); cpu time 0.60" in text
    assert "jobs 2: after / before = 0.73" in text
    assert "after: 1 of 2 modules import on their own; the index fails: ValueError: y" in text
    assert not generator_settings.registry_report(registry_runs(after_written=("a",)), imports, 2)[1]
    same_trees = {run: [dict(results[0], digest="tree")] for run, results in registry_runs().items()}
    assert not generator_settings.registry_report(same_trees, imports, 2)[1]


def test_formatter_report_gives_the_ratio_and_the_first_difference():
    def run(wall, texts):
        return {"wall_s": wall, "failed": [], "shell_runs": 0, "texts": texts}

    runs = {"builtin": [run(1.7, {"m": "x = 1\n", "n": "y\n"})], "black+isort": [run(3.4, {"m": "x = 1\n", "n": "z\n"})]}
    lines, ok = generator_settings.formatter_report({"connectors": 2, "runs": runs})
    text = "\n".join(lines)
    assert ok and "builtin / black+isort = 0.50" in text and "1 of 2 the same bytes" in text and "+y" in text


def test_real_schemas_are_picked_across_the_registry_once_each():
    def entry(name, schema={"properties": {}}):
        return {"dockerRepository": f"airbyte/{name}", "dockerImageTag": "1.0", "spec": {"connectionSpecification": schema}}

    document = {"sources": [entry(f"source-{n}") for n in range(8)] + [entry("source-0"), entry("source-bad", {})],
                "destinations": [entry(f"destination-{n}") for n in range(4)]}
    picked = generator_settings.pick_real(document, 6)
    names = [e["dockerRepository"] for kind in ("sources", "destinations") for e in picked[kind]]
    assert len(names) == 6 == len(set(names)) and "airbyte/source-bad" not in names
    assert any("destination" in name for name in names)
