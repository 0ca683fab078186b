"""The package as users meet it: type stubs, help(), and the wheel."""

import doctest
import importlib.metadata
import inspect
import os
import pydoc
import re
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path

import pytest

import tavik
from doc_examples import DOCUMENTS, ROOT, SCRIPT_LANGS, SESSION_LANGS, code_blocks

STUB_SOURCE = ROOT / "src" / "bindings" / "tavik" / "tavik.pyi"


def run(args, cwd, **kwargs):
    """Runs a command with a clean type-checker environment; returns the result."""
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run(args, cwd=cwd, env=env, capture_output=True, text=True, timeout=600, **kwargs)


def stubtest(python, cwd):
    result = run([str(python), "-m", "mypy.stubtest", "tavik"], cwd)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout


# ---------------------------------------------------------------- versions


def test_both_modules_carry_the_installed_distributions_version():
    import tavik_arrays

    expected = importlib.metadata.version("tavik")
    assert tavik.__version__ == expected and tavik_arrays.__version__ == expected
    # An attribute of the module, not part of the API that __all__ lists.
    assert tavik.__all__ == [
        "sum_as_string",
        "lagrange_to_legendre_basis_transformation",
        "lagrange_prolongation_matrix",
        "get_lagrange_points",
        "LegendreBasis",
        "LegendreBasisEvaluator",
    ]
    assert "__version__" not in tavik_arrays.__all__


# ---------------------------------------------------------------- type stubs


def test_installed_stubs_are_the_source_stubs():
    installed = Path(tavik.__file__).parent
    text = STUB_SOURCE.read_text(encoding="utf-8")
    assert (installed / "tavik.pyi").read_text(encoding="utf-8") == text
    assert (installed / "tavik-stubs" / "__init__.pyi").read_text(encoding="utf-8") == text


def test_stubs_match_the_module(tmp_path):
    # Names, parameter names and kinds, defaults, @final and __all__, checked
    # against the installed module through the stubs mypy finds there.
    stubtest(sys.executable, tmp_path)


def example_sources(relative):
    """The documentation's examples as one module; session lines that are
    expected to raise are left out, since a type checker rightly flags them."""
    parts = []
    for lang, _, body in code_blocks(relative):
        if lang in SCRIPT_LANGS:
            parts.append(body)
        elif lang in SESSION_LANGS:
            parts += [ex.source for ex in doctest.DocTestParser().get_examples(body) if ex.exc_msg is None]
    return "".join(parts)


MISUSE = textwrap.dedent(
    """\
    import numpy as np
    import tavik

    ev = tavik.LegendreBasisEvaluator(2, 2, 1.0)
    ev.evaluate_many([0.5])  # E: a list is no buffer
    ev.set_dofs("123456")  # E: text is no sequence of numbers
    tavik.LegendreBasis(2.0, 2, 1.0)  # E: degree is an integer
    tavik.get_lagrange_points(2, 2, 1.0, periodic=1)  # E: periodic is a bool
    n: str = tavik.LegendreBasis(2, 2, 1.0).evaluate_at(0.5, np.zeros(6))  # E: returns float
    rows, cols, vals = tavik.lagrange_prolongation_matrix(1, 2, 1)
    r: list[str] = rows  # E: row indices are ints

    class Mine(tavik.LegendreBasis):  # E: final
        pass
    """
)


def test_type_checker_accepts_the_documented_usage_and_flags_misuse(tmp_path):
    files = []
    for i, document in enumerate(DOCUMENTS):
        path = tmp_path / f"documented_{i}.py"
        path.write_text(example_sources(document), encoding="utf-8")
        files.append(path.name)
    (tmp_path / "misuse.py").write_text(MISUSE, encoding="utf-8")
    files.append("misuse.py")
    result = run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull, "--ignore-missing-imports",
         "--no-error-summary", "--hide-error-context", *files],
        tmp_path,
    )
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    documented = [line for line in errors if line.startswith("documented_")]
    assert not documented, "\n".join(documented)
    flagged = {int(line.split(":")[1]) for line in errors if line.startswith("misuse.py:")}
    expected = {n for n, line in enumerate(MISUSE.splitlines(), 1) if "# E:" in line}
    assert flagged == expected, result.stdout + result.stderr


# ---------------------------------------------------------------- help()

LB, LBE = tavik.LegendreBasis, tavik.LegendreBasisEvaluator

# (object, name shown by help, parameters, description after the signature)
ENTRY_POINTS = [
    (tavik.sum_as_string, "sum_as_string", "a, b", "Formats the sum of two numbers as string."),
    (tavik.get_lagrange_points, "get_lagrange_points", "degree, n_t, T, periodic=False", ""),
    (tavik.lagrange_prolongation_matrix, "lagrange_prolongation_matrix", "nt_coarse, nt_fine, degree, periodic=False",
     ""),
    (tavik.lagrange_to_legendre_basis_transformation, "lagrange_to_legendre_basis_transformation",
     "degree, n_t, periodic=False", ""),
    (LB, "LegendreBasis", "degree, n_t, T", ""),
    (LB.evaluate_at, "evaluate_at", "self, /, t, legendre_vals", ""),
    (LB.evaluate_all_basis_functions, "evaluate_all_basis_functions", "self, /, t", ""),
    (LB.evaluate_all_basis_function_derivatives, "evaluate_all_basis_function_derivatives", "self, /, t", ""),
    (LBE, "LegendreBasisEvaluator", "degree, n_t, T",
     "Class to evaluate legendre basis more often without copying the dofs from python each time"),
    (LBE.set_dofs, "set_dofs", "self, /, legendre_vals", ""),
    (LBE.evaluate_at, "evaluate_at", "self, /, t", ""),
    (LBE.evaluate_derivative_at, "evaluate_derivative_at", "self, /, t", ""),
    (LBE.evaluate_many, "evaluate_many", "self, /, t_values", ""),
    (LBE.evaluate_derivative_many, "evaluate_derivative_many", "self, /, t_values", ""),
]


@pytest.mark.parametrize("obj, name, params, description", ENTRY_POINTS,
                         ids=[f"{e[0].__qualname__}" for e in ENTRY_POINTS])
def test_help_shows_signature_and_docstring(obj, name, params, description):
    assert str(inspect.signature(obj)) == f"({params})"
    page = pydoc.render_doc(obj, renderer=pydoc.plaintext)
    assert f"{name}({params})" in page
    assert (obj.__doc__ or "") == description
    if description:
        assert description in page


def test_help_of_the_module_lists_every_entry_point():
    page = pydoc.render_doc(tavik, renderer=pydoc.plaintext)
    for obj, name, params, _ in ENTRY_POINTS:
        assert f"{name}({params})" in page, name


def test_class_help_shows_the_constructor_call():
    for cls in (LB, LBE):
        page = pydoc.render_doc(cls, renderer=pydoc.plaintext)
        assert f"{cls.__name__}(degree, n_t, T)" in page


# ---------------------------------------------------------------- the wheel


# The oldest glibc the wheels support: what auditwheel repairs them to.
MANYLINUX_GLIBC_MINOR = 34


def assert_portable(wheel):
    """The wheel is a repaired manylinux wheel that no newer glibc than the
    policy's needs, carries the runtime library both modules share, and
    grafted no other shared library in (it needs none)."""
    tag = re.fullmatch(r"tavik-[^-]+-cp314-cp314-manylinux_2_(\d+)_x86_64\.whl", wheel.name)
    assert tag and int(tag.group(1)) <= MANYLINUX_GLIBC_MINOR, wheel.name
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    libraries = [n for n in names if ".libs/" in n and not n.endswith("/")]
    assert libraries == ["tavik_runtime.libs/libtavik_runtime.so"], names
    return names


@pytest.mark.slow
def test_sdist_builds_the_same_wheel(tmp_path):
    inside = str(ROOT / "tools" / "inside.sh")
    built = run(["bash", inside, "sdist", "--outdir", str(tmp_path / "sdist")], ROOT)
    assert built.returncode == 0, built.stdout + built.stderr
    sdists = list((tmp_path / "sdist").glob("tavik-*.tar.gz"))
    assert len(sdists) == 1, sdists

    built = run(["bash", inside, "wheel", "--wheel-dir", str(tmp_path / "dist"), "--from", str(sdists[0])], ROOT)
    assert built.returncode == 0, built.stdout + built.stderr
    wheels = list((tmp_path / "dist").glob("tavik-*.whl"))
    assert len(wheels) == 1, wheels
    names = assert_portable(wheels[0])
    # Every module and stub that the tree installs came through the sdist.
    installed = {p.name for p in Path(tavik.__file__).parent.iterdir()}
    expected = {"tavik.pyi", "tavik-stubs/__init__.pyi", Path(tavik.__file__).name}
    if (ROOT / "tavik_arrays" / "__init__.py").is_file():
        assert "tavik_arrays" in installed
        expected |= {"tavik_arrays/__init__.py", "tavik_arrays/py.typed"}
        assert [n for n in names if re.fullmatch(r"tavik_arrays/_core\.cpython-314-x86_64-linux-gnu\.so", n)], names
    assert expected <= set(names), sorted(expected - set(names))


@pytest.mark.slow
def test_wheel_installs_into_a_fresh_environment(tmp_path):
    # The command behind ./dev wheel, writing into a temporary directory
    # instead of dist/ (pip takes the last --wheel-dir).
    built = run(["bash", str(ROOT / "tools" / "inside.sh"), "wheel", "--wheel-dir", str(tmp_path / "dist")], ROOT)
    assert built.returncode == 0, built.stdout + built.stderr
    wheels = list((tmp_path / "dist").glob("tavik-*.whl"))
    assert len(wheels) == 1, wheels
    assert_portable(wheels[0])

    venv = tmp_path / "venv"
    made = run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)], tmp_path)
    assert made.returncode == 0, made.stderr
    python = venv / "bin" / "python"
    installed = run([sys.executable, "-m", "pip", "--python", str(python), "install", "--no-index", "--no-deps",
                     "--disable-pip-version-check", str(wheels[0])], tmp_path)
    assert installed.returncode == 0, installed.stdout + installed.stderr

    check = textwrap.dedent(
        """\
        import importlib.metadata, pathlib, sys, tavik
        here = pathlib.Path(tavik.__file__)
        assert here.is_relative_to(sys.prefix), (here, sys.prefix)
        assert here.with_name("tavik.pyi").is_file()
        assert here.with_name("tavik-stubs").joinpath("__init__.pyi").is_file()
        meta = importlib.metadata.metadata("tavik")
        assert meta["Name"] == "tavik" and meta["Requires-Python"] == ">=3.14", meta
        assert tavik.get_lagrange_points(2, 2, 1.0) == [0.0, 0.25, 0.5, 0.75, 1.0]
        print(here)
        """
    )
    imported = run([str(python), "-c", check], tmp_path)
    assert imported.returncode == 0, imported.stdout + imported.stderr
    assert Path(imported.stdout.strip()).parent.is_relative_to(venv)
    # mypy, run from the new environment, finds the stubs the wheel installed.
    stubtest(python, tmp_path)
