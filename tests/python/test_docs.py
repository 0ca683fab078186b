"""The README's and the user guide's examples are run as they stand (the
rules for the blocks are in doc_examples.py)."""

import pytest

from support import scipy_sparse_or_skip
from doc_examples import DOCUMENTS, ROOT, run_blocks


@pytest.mark.parametrize("document", DOCUMENTS)
def test_examples_run(document):
    if "scipy" in (ROOT / document).read_text(encoding="utf-8"):
        scipy_sparse_or_skip()
    assert run_blocks(document)


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


def test_only_blocks_needing_a_missing_module_are_skipped_and_only_when_asked(tmp_path):
    # The clean-root check of the wheel runs the README where scipy is absent.
    (tmp_path / "doc.md").write_text(
        "```python\nimport no_such_module_here\n```\n\n"
        "```python\nx = 1\n```\n\n"
        "```pycon\n>>> x + 1\n2\n\n```\n",
        encoding="utf-8",
    )
    skipped = []
    ran = run_blocks("doc.md", tmp_path, skip_missing=True, skipped=skipped)
    assert [line for line, _ in ran] == [6, 10]
    assert skipped == [("doc.md:2", ["no_such_module_here"])]
    with pytest.raises(ModuleNotFoundError):
        run_blocks("doc.md", tmp_path)


def test_a_session_with_the_wrong_output_fails(tmp_path):
    (tmp_path / "doc.md").write_text("```pycon\n>>> 1 + 1\n3\n\n```\n", encoding="utf-8")
    with pytest.raises(AssertionError, match="Expected:\n    3\nGot:\n    2"):
        run_blocks("doc.md", tmp_path)
