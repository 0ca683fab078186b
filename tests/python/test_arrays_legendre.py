"""tavik_arrays.LegendreSpace: construction, evaluation, basis matrices, layouts."""

import numpy as np

import tavik_arrays


def test_package_imports_beside_tavik():
    import tavik

    space = tavik_arrays.LegendreSpace(2, 3, 1.0)
    assert tavik_arrays.__all__ == ["LegendreSpace"]
    assert space.evaluate(np.zeros((3, 3)), [0.5]).tolist() == [0.0]
    assert "LegendreBasis" in tavik.__all__
