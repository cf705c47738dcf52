"""Runs a command again when only LeakSanitizer's checker crashed at its end.

Under `make sanitize`, LeakSanitizer's tracer now and then crashes while it
scans the threads of a process that ran to its end ("Tracer caught signal
11", then "LeakSanitizer has encountered a fatal error"). The cause found,
its misreading of dynamic TLS blocks, is turned off in the Makefile; this is
the net for any other. It is the checker failing, not a verdict on the
process, so such a run is repeated to get one; a run with a leak or memory
error report never is. The tests' subprocesses are run through
`only_the_checker_crashed` (tests/conftest.py), the suite itself through
this script: python checker_crash.py COMMAND...
"""

import subprocess
import sys

CRASH = "LeakSanitizer has encountered a fatal error"
VERDICTS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")
ATTEMPTS = 3


def only_the_checker_crashed(returncode, stderr):
    return returncode != 0 and CRASH in stderr and not any(verdict in stderr for verdict in VERDICTS)


def run_once(command):
    """The command's status and standard error, which is passed on as it comes."""
    process = subprocess.Popen(command, stderr=subprocess.PIPE, text=True, errors="replace")
    stderr = []
    for line in process.stderr:
        sys.stderr.write(line)
        stderr.append(line)
    return process.wait(), "".join(stderr)


def main(command):
    for attempt in range(1, ATTEMPTS):
        status, stderr = run_once(command)
        if not only_the_checker_crashed(status, stderr):
            return status
        print(f"the leak checker crashed at the end of run {attempt}; running again", file=sys.stderr, flush=True)
    return run_once(command)[0]


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
