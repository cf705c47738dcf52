import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import generation  # noqa: E402


def run(wall, digest="same", models="same"):
    return {"ok": True, "wall_s": wall, "status": 0, "peak_kib": 1024, "server_peak_kib": 2048,
            "digest": digest, "models_digest": models}


def runs(fast_digest="same"):
    return {size: {"spawn": [run(size * 1.0)], "fast": [run(size * 0.2, fast_digest)], "floor": [run(size * 0.18)]}
            for size in (20, 100)}


def test_report_gives_the_ratios_and_fails_on_different_files():
    lines, ok = generation.report(runs(), [], [20, 100], 1)
    assert ok
    text = "\n".join(lines)
    assert "fast vs spawn at 100: 5.0 times faster" in text
    assert "fast / floor = 1.11" in text
    _, ok = generation.report(runs(fast_digest="other"), [], [20, 100], 1)
    assert not ok


def test_a_failed_run_fails_the_report():
    failed = runs()
    failed[100]["fast"] = [{"ok": False, "error": "child died (signal 9)"}]
    lines, ok = generation.report(failed, [], [20, 100], 1)
    assert not ok and any("child died" in line for line in lines)


def test_names_are_spread_over_the_registry():
    names = [f"source-{n}" for n in range(400)] + [f"destination-{n}" for n in range(100)]
    picked = generation.pick(names, 100)
    assert len(picked) == 100 == len(set(picked))
    assert any(name.startswith("destination-") for name in picked)
