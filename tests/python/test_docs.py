"""Runs every Python example of the README and the user guide.

A fenced block tagged `python` is a script: it is executed as it stands and
checks itself with assert. A block tagged `pycon` is an interpreter session:
its `>>>` lines are run with doctest and their output must match. The blocks
of one file share a namespace and run top to bottom, as a reader meets them.
Any other fence must not hold Python, so no example can escape the tests.
"""

import doctest
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCUMENTS = ["README.md", "docs/guide.md", "docs/arrays.md", "docs/arrays_dg.md"]

FENCE = re.compile(r"^```(?P<lang>[\w-]*)[ \t]*\n(?P<body>.*?)^```[ \t]*$", re.M | re.S)
SCRIPT_LANGS = {"python", "py"}
SESSION_LANGS = {"pycon"}


def code_blocks(relative):
    """(language, first line number of the body, body) of every fenced block."""
    text = (ROOT / relative).read_text(encoding="utf-8")
    blocks = []
    for match in FENCE.finditer(text):
        line = text.count("\n", 0, match.start("body")) + 1
        blocks.append((match.group("lang"), line, match.group("body")))
    return blocks


def run_blocks(relative):
    namespace = {"__name__": "__docs__"}
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    parser = doctest.DocTestParser()
    report = []
    ran = 0
    for lang, line, body in code_blocks(relative):
        where = f"{relative}:{line}"
        if lang in SCRIPT_LANGS:
            assert ">>>" not in body, f"{where}: interpreter session in a `{lang}` block; tag it `pycon`"
            exec(compile(body, where, "exec"), namespace)  # noqa: S102 - that is the point
            ran += 1
        elif lang in SESSION_LANGS:
            assert body.lstrip().startswith(">>>"), f"{where}: a `pycon` block starts with >>>"
            test = parser.get_doctest(body, namespace, where, str(ROOT / relative), line - 1)
            runner.run(test, out=report.append, clear_globs=False)
            namespace.update(test.globs)  # the test ran on a copy
            ran += 1
        else:
            assert ">>>" not in body and "import tavik" not in body, (
                f"{where}: Python in a block tagged `{lang}`, which the tests would not run"
            )
    assert runner.failures == 0, "".join(report)
    return ran


@pytest.mark.parametrize("document", DOCUMENTS)
def test_examples_run(document):
    assert run_blocks(document) > 0


def test_guide_covers_every_public_name():
    import tavik

    guide = (ROOT / "docs/guide.md").read_text(encoding="utf-8")
    for name in tavik.__all__:
        assert f"`{name}" in guide, name
    for cls in (tavik.LegendreBasis, tavik.LegendreBasisEvaluator):
        for method in vars(cls):
            if not method.startswith("_"):
                assert f"`{method}(" in guide, f"{cls.__name__}.{method}"


def test_readme_links_the_guide():
    assert "](docs/guide.md)" in (ROOT / "README.md").read_text(encoding="utf-8")
