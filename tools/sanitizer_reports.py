"""Judges the reports that AddressSanitizer, LeakSanitizer and
UndefinedBehaviorSanitizer wrote during a sanitized test run.

usage: sanitizer_reports.py LOG_DIR

The sanitized run sends every report to LOG_DIR (one file per process: the
C++ test binary, pytest and every interpreter the tests start). Any memory
error or undefined behaviour fails the run. Leaks are sorted by their
allocation stack: a leak whose stack passes through tavik's code (or the C++
tests) is ours and fails the run; the others belong to the interpreter and
the libraries it loads, are counted and otherwise ignored. Interpreters are
checked as they begin to exit (tools/sanitizer_leak_check.py), so a Python
object that tavik leaked through its reference count is reported with the
stack of the call that made it; the leak tests (tests/python/test_leaks.py)
count references and allocated blocks as well.
"""

import pathlib
import re
import sys

# Our frames: anything named tavik (the modules, the runtime library), and
# the sources under src/ -- its top files and its own folders only, since
# other projects' stacks (the sanitizer runtime's own src/libsanitizer/...)
# pass through folders called src too.
_SRC = pathlib.Path(__file__).resolve().parents[1] / "src"
_FOLDERS = "|".join(sorted(p.name for p in _SRC.iterdir() if p.is_dir()))
OURS = re.compile(rf"tavik|/src/({_FOLDERS})/|/src/\w+\.(cpp|hpp)")
LEAK_HEADER = re.compile(r"^(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\) allocated from:", re.M)
FATAL = re.compile(r"ERROR: AddressSanitizer|runtime error:|ERROR: UndefinedBehaviorSanitizer")


def leak_blocks(text):
    """(header, stack) for every leak of a LeakSanitizer report."""
    starts = [m.start() for m in LEAK_HEADER.finditer(text)]
    for begin, end in zip(starts, starts[1:] + [len(text)]):
        block = text[begin:end].split("\n\n", 1)[0]
        header, _, stack = block.partition("\n")
        yield header, stack


def main(log_dir):
    files = sorted(pathlib.Path(log_dir).glob("*"))
    failed = False
    foreign = foreign_bytes = 0
    for path in files:
        text = path.read_text(errors="replace")
        if FATAL.search(text):
            print(f"== {path.name}: memory error or undefined behaviour\n{text}")
            failed = True
            continue
        for header, stack in leak_blocks(text):
            if OURS.search(stack):
                print(f"== {path.name}: leak in tavik\n{header}\n{stack}\n")
                failed = True
            else:
                foreign += 1
                foreign_bytes += int(LEAK_HEADER.match(header).group(2))
    if foreign:
        print(f"sanitizers: ignored {foreign} leak(s), {foreign_bytes} bytes, allocated outside tavik's code")
    print("sanitizers: " + ("FAILED" if failed else f"clean ({len(files)} report file(s))"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
