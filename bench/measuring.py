"""Measuring one call: wall time and peak memory, each run in a forked child."""

from __future__ import annotations

import gc
import json
import os
import resource
import sys
import tempfile
import time
import traceback
from pathlib import Path


def _proc_status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def _reset_peak_rss() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def measure_call(call) -> tuple[object, dict]:
    """call()'s result, its wall time and the peak RSS growth while it ran."""
    gc.collect()
    rss_before = _proc_status_kib("VmRSS")
    hwm_reset = _reset_peak_rss()
    t0 = time.perf_counter()
    result = call()
    wall = time.perf_counter() - t0
    if hwm_reset:
        peak = _proc_status_kib("VmHWM")
    else:  # lifetime peak: overstates when the process peaked before the call
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return result, {"wall_s": wall, "peak_kib": max(peak - rss_before, 0),
                    "hwm_reset": hwm_reset}


def run_forked(*args, fn) -> dict:
    """fn(*args) in a forked child; its dict comes back with "ok", or an
    "error" when it raised or the child died."""
    sys.stdout.flush()
    sys.stderr.flush()
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            payload = {"ok": True, **fn(*args)}
        except BaseException:
            payload = {"ok": False, "error": traceback.format_exc()}
        data = json.dumps(payload).encode()
        while data:
            data = data[os.write(w, data):]
        os._exit(0)
    os.close(w)
    chunks = []
    with os.fdopen(r, "rb") as f:
        while chunk := f.read(65536):
            chunks.append(chunk)
    _, status = os.waitpid(pid, 0)
    if not chunks:
        return {"ok": False, "error": f"child died ({describe_status(status)})"}
    return json.loads(b"".join(chunks))


def describe_status(status: int) -> str:
    if os.WIFSIGNALED(status):
        return f"signal {os.WTERMSIG(status)}"
    return f"exit {os.WEXITSTATUS(status)}"


def default_tmp() -> str:
    """tmpfs when there is one: creating thousands of files on a disk file
    system costs seconds of noisy kernel time that both sides pay alike and
    that would only blur the ratio."""
    shm = Path("/dev/shm")
    if shm.is_dir() and os.access(shm, os.W_OK):
        return str(shm)
    return tempfile.gettempdir()
