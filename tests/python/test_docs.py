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
