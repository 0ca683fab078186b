"""tavik_arrays.LegendreSpace: construction, evaluation, basis matrices, layouts."""

import numpy as np

import tavik_arrays


def test_package_imports_beside_tavik():
    import tavik

    space = tavik_arrays.LegendreSpace(2, 3, 1.0)
    assert "LegendreSpace" in tavik_arrays.__all__
    assert space.evaluate(np.zeros((3, 3)), [0.5]).tolist() == [0.0]
    assert "LegendreBasis" in tavik.__all__
