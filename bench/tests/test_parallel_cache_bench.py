import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import parallel_cache  # noqa: E402


def runs(changed_digest="changed"):
    def run(wall, digest="spawn"):
        return {"wall_s": wall, "status": 0, "peak_kib": 1024 * wall, "digest": digest, "tail": ""}

    return {"spawn": [run(100)], "jobs 1": [run(40)], "jobs 2": [run(22)], "cached": [run(4)],
            "changed": [run(6, changed_digest)], "jobs 1 at 100": [run(10, "small")], "jobs 2 at 100": [run(8, "small")]}


def test_report_gives_the_ratios_and_fails_on_a_different_tree():
    digests = {"spawn": "spawn", "changed": "changed", "jobs 1 at 100": "small", "jobs 2 at 100": "small"}
    lines, ok = parallel_cache.report(runs(), [2.0], digests, 500, 100)
    text = "\n".join(lines)
    assert ok and "jobs 2 vs jobs 1: 1.82 times" in text and "cached / jobs 1 cold: 10.0 %" in text
    assert "without start-up 5.3 %" in text
    _, ok = parallel_cache.report(runs(changed_digest="other"), [2.0], digests, 500, 100)
    assert not ok
