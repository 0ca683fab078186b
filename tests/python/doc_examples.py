"""Runs the Python examples of the README and the user guide.

A fenced block tagged `python` is a script: it is executed as it stands and
checks itself with assert. A block tagged `pycon` is an interpreter session:
its `>>>` lines are run with doctest and their output must match. The blocks
of one file share a namespace and run top to bottom, as a reader meets them.
Any other fence must not hold Python, so no example can escape the tests.

Needs only the standard library and what the examples import, so that it
also runs where an installed wheel is tried out on a bare system:

    python3 doc_examples.py ROOT DOCUMENT... [--skip-missing]

With --skip-missing, a block that imports a module the system lacks (scipy
on a system with only numpy) is reported and skipped instead of failing.
"""

import doctest
import importlib.util
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
DOCUMENTS = ["README.md", "docs/guide.md", "docs/arrays.md", "docs/arrays_dg.md", "docs/stepping.md"]

FENCE = re.compile(r"^```(?P<lang>[\w-]*)[ \t]*\n(?P<body>.*?)^```[ \t]*$", re.M | re.S)
IMPORT = re.compile(r"^\s*(?:>>> )?(?:import|from)\s+(\w+)", re.M)
SCRIPT_LANGS = {"python", "py"}
SESSION_LANGS = {"pycon"}


def code_blocks(relative, root=ROOT):
    """(language, first line number of the body, body) of every fenced block."""
    text = (Path(root) / relative).read_text(encoding="utf-8")
    blocks = []
    for match in FENCE.finditer(text):
        line = text.count("\n", 0, match.start("body")) + 1
        blocks.append((match.group("lang"), line, match.group("body")))
    return blocks


def missing_imports(body):
    """Top-level modules the block imports that this system does not have."""
    return sorted({name for name in IMPORT.findall(body) if importlib.util.find_spec(name) is None})


def run_blocks(relative, root=ROOT, skip_missing=False, skipped=None):
    """Runs the examples of one document; returns the blocks that ran as
    (line, body). Blocks left out for missing modules go to `skipped`."""
    namespace = {"__name__": "__docs__"}
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    parser = doctest.DocTestParser()
    report = []
    ran = []
    for lang, line, body in code_blocks(relative, root):
        where = f"{relative}:{line}"
        if lang not in SCRIPT_LANGS | SESSION_LANGS:
            assert ">>>" not in body and "import tavik" not in body, (
                f"{where}: Python in a block tagged `{lang}`, which the tests would not run"
            )
            continue
        missing = missing_imports(body) if skip_missing else []
        if missing:
            if skipped is not None:
                skipped.append((where, missing))
            continue
        if lang in SCRIPT_LANGS:
            assert ">>>" not in body, f"{where}: interpreter session in a `{lang}` block; tag it `pycon`"
            exec(compile(body, where, "exec"), namespace)  # noqa: S102 - that is the point
        else:
            assert body.lstrip().startswith(">>>"), f"{where}: a `pycon` block starts with >>>"
            test = parser.get_doctest(body, namespace, where, str(Path(root) / relative), line - 1)
            runner.run(test, out=report.append, clear_globs=False)
            namespace.update(test.globs)  # the test ran on a copy
        ran.append((line, body))
    assert runner.failures == 0, "".join(report)
    return ran


def main(argv):
    skip_missing = "--skip-missing" in argv
    args = [a for a in argv if a != "--skip-missing"]
    root, documents = Path(args[0]), args[1:]
    for document in documents:
        skipped = []
        ran = run_blocks(document, root, skip_missing, skipped)
        imported = sorted({name for _, body in ran for name in IMPORT.findall(body)})
        print(f"{document}: {len(ran)} example blocks ran (importing {', '.join(imported)})")
        for where, missing in skipped:
            print(f"{where}: skipped, needs {', '.join(missing)}")


if __name__ == "__main__":
    main(sys.argv[1:])
