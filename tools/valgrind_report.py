"""Reads a valgrind memcheck log and reports what the module is to blame for.

The interpreter itself keeps immortal objects until exit and triggers a few
known false positives (vectorised string compares), so the log is judged by
its records whose stack passes through the extension module: any invalid
access, uninitialised use, or definite or indirect leak among those fails.
"""

from __future__ import annotations

import re
import sys

MODULE_FRAME = re.compile(r"quillane_core|/src/(binding|engine|schema)/|src/lib\.cpp")
PROBLEM = re.compile(
    r"Invalid (read|write|free)|uninitialised|Mismatched free|definitely lost|indirectly lost|"
    r"Source and destination overlap|Syscall param"
)


def records(log: str) -> list[list[str]]:
    blocks: list[list[str]] = []
    current: list[str] = []
    for line in log.splitlines():
        body = re.sub(r"^==\d+==\s?", "", line)
        if not body.strip():
            if current:
                blocks.append(current)
            current = []
        else:
            current.append(body)
    if current:
        blocks.append(current)
    return blocks


def main(path: str) -> int:
    with open(path, encoding="utf-8", errors="replace") as log:
        blocks = records(log.read())
    blamed = [b for b in blocks if PROBLEM.search(b[0]) and any(MODULE_FRAME.search(line) for line in b)]
    problems = sum(1 for b in blocks if PROBLEM.search(b[0]))
    for block in blamed:
        print("\n".join(block), end="\n\n")
    print(f"valgrind: {problems} problem records in the log, {len(blamed)} through quillane_core")
    return 1 if blamed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
