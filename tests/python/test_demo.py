"""The dG part of examples/demo.py, the first thing `./dev demo` shows, runs
and still shows what it says."""

import pytest

from support import scipy_sparse_or_skip


def test_dg_story_plots_a_solution_whose_orders_are_those_it_prints(tmp_path, capsys):
    pytest.importorskip("matplotlib", exc_type=ImportError)
    scipy_sparse_or_skip()
    import demo  # examples/demo.py

    plot = tmp_path / "dg.png"
    figures = demo.dg_story(str(plot))
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    # dG(1): nodal values of order 2q + 1 = 3, jumps of order q + 1 = 2,
    # as the printed table claims; the coarse mesh has jumps worth seeing.
    assert abs(figures["nodal_order"] - 3) < 0.2 and abs(figures["jump_order"] - 2) < 0.2
    assert figures["coarse_jump"] > 0.01
    assert f"wrote the plot to {plot}" in capsys.readouterr().out
