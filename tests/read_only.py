"""Runs a command with some directories read-only, as a system or shared
environment's package directory is to the user running corvel:

    python read_only.py DIR [DIR ...] -- COMMAND [ARGUMENT ...]

Permission bits do not stop root (the tests and CI run as root), a read-only
mount does. The command gets a mount namespace of its own (and, when not run
as root, a user namespace in which it is root), with each DIR bound onto
itself read-only there: the rest of the system sees nothing of it, and it ends
with the command. Only the C library is called (no mount program), so the
command inherits this process's environment as it is.
"""

import ctypes
import os
import sys

CLONE_NEWNS, CLONE_NEWUSER = 0x00020000, 0x10000000
MS_RDONLY, MS_REMOUNT, MS_BIND, MS_REC, MS_PRIVATE = 1, 32, 4096, 16384, 1 << 18

libc = ctypes.CDLL(None, use_errno=True)


def check(result: int, what: str) -> None:
    if result != 0:
        number = ctypes.get_errno()
        raise OSError(number, f"{what}: {os.strerror(number)}")


def write(path: str, text: str) -> None:
    with open(path, "w", encoding="ascii") as file:
        file.write(text)


def main(argv: list[str]) -> None:
    split = argv.index("--")
    directories, command = argv[:split], argv[split + 1:]
    uid, gid = os.getuid(), os.getgid()
    if os.geteuid() == 0:
        check(libc.unshare(CLONE_NEWNS), "unshare")
    else:
        check(libc.unshare(CLONE_NEWNS | CLONE_NEWUSER), "unshare")
        write("/proc/self/setgroups", "deny")
        write("/proc/self/uid_map", f"0 {uid} 1")
        write("/proc/self/gid_map", f"0 {gid} 1")
    check(libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None), "making / private")
    for directory in directories:
        path = os.fsencode(os.path.realpath(directory))
        check(libc.mount(path, path, None, MS_BIND | MS_REC, None), f"binding {directory}")
        check(libc.mount(None, path, None, MS_REMOUNT | MS_BIND | MS_RDONLY, None), f"making {directory} read-only")
    os.execvp(command[0], command)


if __name__ == "__main__":
    main(sys.argv[1:])
