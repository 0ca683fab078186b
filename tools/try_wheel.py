"""Tries an installed wheel on a bare system: run by `./dev check-wheel` with
the clean root's python3, which has numpy and nothing else (no compiler, no
scipy, no -dev package).

    python3 tools/try_wheel.py PROJECT SITE

SITE holds the installed wheel. Every top-level module it installed must
import from there, and the README's examples must run, those of each module
included; blocks that need a library the system lacks (scipy) are reported
as skipped. Then both modules must share one runtime: one worker pool for
batches through either, and a chunk that fails on a worker raises in the
module that handed the batch in.
"""

import ast
import importlib
import os
import re
import shutil
import sys
from pathlib import Path

project, site = Path(sys.argv[1]), Path(sys.argv[2])
sys.path.insert(0, str(project / "tests" / "python"))
import doc_examples  # noqa: E402 - found through the path just set

for tool in ("cc", "gcc", "g++", "c++", "clang"):
    assert shutil.which(tool) is None, f"the clean root has a compiler: {tool}"

modules = sorted(
    path.name.split(".")[0]
    for path in site.iterdir()
    if (path.suffix == ".so" or (path / "__init__.py").is_file()) and not path.name.endswith(".libs")
)
assert modules, f"nothing importable installed in {site}"
for name in modules:
    module = importlib.import_module(name)
    assert Path(module.__file__).is_relative_to(site), (name, module.__file__)
    print(f"{name}: imported from {module.__file__}")

skipped = []
ran = doc_examples.run_blocks("README.md", project, skip_missing=True, skipped=skipped)
used = {name for _, body in ran for name in doc_examples.IMPORT.findall(body)}
print(f"README.md: {len(ran)} example blocks ran")
for where, missing in skipped:
    print(f"{where}: skipped, needs {', '.join(missing)}")
untried = [name for name in modules if name not in used]
assert not untried, f"no README example that runs here uses {', '.join(untried)}"
print("the wheel works on a system with python3 and numpy only")


# One runtime for both modules: a batch through each starts no more workers
# than one pool has, and chunks of tavik_arrays that throw on workers that
# first ran tavik's chunks raise the core's message on the caller.
import numpy as np  # noqa: E402
import tavik  # noqa: E402
import tavik_arrays  # noqa: E402
from tavik_arrays import _core  # noqa: E402


def workers():
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            names.append((Path("/proc/self/task") / task / "comm").read_text().strip())
        except FileNotFoundError:
            pass
    return names.count("tavik-worker")


header = (project / "src" / "messages.hpp").read_text()
failed = ast.literal_eval(re.search(r'char kWorkerChunkFailed\[\] = ("(?:[^"\\]|\\.)*");', header).group(1))
rng = np.random.default_rng(1)
u = rng.standard_normal((12345, 4))
t = rng.uniform(0.0, 7.3, 100_000)
space = tavik_arrays.LegendreSpace(3, 12345, 7.3)
ev = tavik.LegendreBasisEvaluator(3, 12345, 7.3)
ev.set_dofs(space.to_flat(u))
for _ in range(3):
    assert np.array_equal(np.asarray(ev.evaluate_many(t)), space.evaluate(u, t))
    with_tavik = workers()
    try:
        threw = _core._failing_batch(4096)
    except ValueError as error:
        assert str(error) == failed, str(error)
        threw = True
    assert threw or len(os.sched_getaffinity(0)) == 1, "no worker took a chunk"
assert workers() == with_tavik <= len(os.sched_getaffinity(0)) - 1, (workers(), with_tavik)
maps = {line.split()[-1] for line in Path("/proc/self/maps").read_text().splitlines() if "libtavik_runtime" in line}
assert len(maps) == 1, maps
print(f"both modules share one runtime ({maps.pop()}): {with_tavik} worker threads on "
      f"{len(os.sched_getaffinity(0))} processors; a chunk failing on a worker raised in tavik_arrays")
