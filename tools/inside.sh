#!/usr/bin/env bash
# Steps run inside the development root by ./dev (or directly on a host that
# already has Python >= 3.14 and the libraries).
set -euo pipefail

cmd=${1:?usage: inside.sh build|test|demo|bench|wheel}
shift || true
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

venv=.dev/venv
py=$venv/bin/python
jobs=$(nproc 2>/dev/null || echo 2)

ensure_venv() {
  if [ ! -x "$py" ]; then
    echo "== creating $venv (sees the system's numpy, scipy, pytest, ...)"
    python3 -m venv --system-site-packages "$venv"
  fi
}

# pip install . is the real install path; the build directory persists in
# build/ so a rebuild after a small change takes seconds.
install_module() {
  ensure_venv
  echo "== building and installing tavik (pip install .)"
  local log=.dev/pip-install.log
  if ! "$py" -m pip install --no-build-isolation --no-deps --no-index \
      --disable-pip-version-check "$@" . > "$log" 2>&1; then
    cat "$log"
    echo "pip install . failed (log: $log)" >&2
    exit 1
  fi
  "$py" -c 'import tavik' || { echo "tavik failed to import after install" >&2; exit 1; }
}

cpp_tests() {
  local dir=.dev/cpp-tests
  echo "== building the C++ core tests"
  cmake -S . -B "$dir" -G Ninja -DTAVIK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release "$@" > "$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$jobs"
  echo "== running the C++ core tests"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

case "$cmd" in
  build)
    install_module
    ;;
  test)
    rc=0
    cpp_tests || rc=1
    install_module
    echo "== running the Python tests"
    "$py" -m pytest tests/python -q -p no:cacheprovider "$@" || rc=1
    exit $rc
    ;;
  demo)
    install_module
    echo "== examples/demo.py"
    "$py" examples/demo.py "$@"
    ;;
  wheel)
    ensure_venv
    echo "== building a wheel into dist/"
    "$py" -m pip wheel --no-build-isolation --no-deps --no-index \
      --disable-pip-version-check --wheel-dir dist "$@" .
    ;;
  bench)
    install_module
    if [ -x bench/run.sh ] || [ -f bench/run.sh ]; then
      bash bench/run.sh "$py" "$@"
    else
      echo "no benchmarks yet"
    fi
    ;;
  *)
    echo "unknown step '$cmd'" >&2
    exit 2
    ;;
esac
