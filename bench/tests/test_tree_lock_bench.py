import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import tree_lock  # noqa: E402


def test_report_gives_each_mode_against_the_full_cache_run():
    walls = {"all, cache full": [6.0, 8.0, 7.0], "no-op": [0.2], "add one": [7.7], "frozen": [3.5]}
    text = "\n".join(tree_lock.report(walls, 6_000_000, 500))
    assert "lock 6.00 MB (12000 bytes a connector)" in text
    assert "no-op:    0.20 s  (  2.9 % of all" in text and "frozen:    3.50 s  ( 50.0 %" in text
