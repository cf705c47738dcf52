import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import loading  # noqa: E402


def run(wall, out=(), status=0):
    return {"wall_s": wall, "cpu_s": wall / 2, "status": status, "out": list(out), "error": "Traceback ..."}


def test_report_gives_each_load_against_importing_airbyte_and_fails_on_a_wrong_class():
    runs = {"airbyte": [run(4.0), run(4.2)], "one class": [run(4.6)], "project class": [run(2.0)], "index": [run(8.0)]}
    first = {"airbyte": run(4.1), "one class": run(5, ["1", "SourceXConfig"]),
             "project class": run(3, ["1", "SourceXConfig"]), "index": run(12, ["500"])}
    lines, ok = loading.report(runs, first, "SourceXConfig", 500)
    text = "\n".join(lines)
    assert ok and "1 model modules loaded; / airbyte: wall 1.12 (paired 1.15), cpu 1.12" in text
    assert "500 model modules loaded; / airbyte: wall 1.95" in text
    assert "project class: wall   2.00" in text
    assert not loading.report(runs, first, "SourceYConfig", 500)[1]
    assert not loading.report(dict(runs, index=[run(1, status=1)]), first, "SourceXConfig", 500)[1]
