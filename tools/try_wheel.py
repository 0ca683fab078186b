"""Tries an installed wheel on a bare system: run by `./dev check-wheel` with
the clean root's python3, which has numpy and nothing else (no compiler, no
scipy, no -dev package).

    python3 tools/try_wheel.py PROJECT SITE

SITE holds the installed wheel. Every top-level module it installed must
import from there, and the README's examples must run, those of each module
included; blocks that need a library the system lacks (scipy) are reported
as skipped.
"""

import importlib
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
