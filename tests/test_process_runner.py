"""The runners of the sanitizer run (the tests' subprocesses, the suite) repeat
a run only when the leak checker itself crashed, so that no verdict is hidden."""

import sys

import pytest
import checker_crash
from checker_crash import ATTEMPTS, CRASH
from conftest import run_process

LEAK_REPORT = "ERROR: LeakSanitizer: detected memory leaks\n"
RUNNERS = {
    "subprocess": lambda arguments: run_process(arguments, timeout=60).returncode,
    "suite": checker_crash.main,
}


@pytest.mark.filterwarnings("ignore:the leak checker crashed")
@pytest.mark.parametrize("runner", RUNNERS)
@pytest.mark.parametrize(
    ("crashing_runs", "stderr", "status", "runs", "final_status"),
    [
        (99, CRASH, 1, ATTEMPTS, 1),  # gives up with the last run's result
        (1, CRASH, 1, 2, 0),  # the second run gets through
        (99, LEAK_REPORT + CRASH, 1, 1, 1),  # a leak report is a verdict
        (99, CRASH, 0, 1, 0),  # the run succeeded
        (99, "Traceback (most recent call last):", 1, 1, 1),  # an ordinary failure
    ],
)
def test_only_a_crash_of_the_checker_is_run_again(runner, tmp_path, crashing_runs, stderr, status, runs, final_status):
    counter = tmp_path / "runs"
    counter.write_text("")
    code = (
        "import pathlib, sys\n"
        f"counter = pathlib.Path({str(counter)!r})\n"
        "counter.write_text(counter.read_text() + 'x')\n"
        f"if len(counter.read_text()) <= {crashing_runs}:\n"
        f"    sys.stderr.write({stderr!r})\n"
        f"    sys.exit({status})\n"
    )
    status = RUNNERS[runner]([sys.executable, "-c", code])
    assert (len(counter.read_text()), status) == (runs, final_status)
