#!/usr/bin/env bash
# Steps run inside the development root by ./dev (or directly on a host that
# already has Python >= 3.14 and the libraries).
set -euo pipefail

cmd=${1:?usage: inside.sh build|test|demo|bench|wheel|sdist|fuzz}
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

# The wheel that others install: built with static libstdc++ and the glibc
# stand-ins (TAVIK_PORTABLE, own build directory), then repaired by
# auditwheel, which refuses it if it needs anything newer than the policy
# and grafts in any shared library it needs beyond the policy's own.
wheel_policy=manylinux_2_34_x86_64

portable_wheel() {
  local out=$1 source=$2; shift 2
  ensure_venv
  mkdir -p .dev "$out"
  local raw; raw=$(mktemp -d "$top/.dev/wheel-raw.XXXXXX")
  local build_dir=build/wheel
  # An sdist unpacks to a new source tree each time: a cache from another
  # tree would be refused by CMake.
  [ "$source" = . ] || build_dir=$raw/build
  echo "== building a wheel from $source (static libstdc++)"
  local rc=0
  "$py" -m pip wheel --no-build-isolation --no-deps --no-index --disable-pip-version-check \
    -C cmake.define.TAVIK_PORTABLE=ON -C build-dir="$build_dir" --wheel-dir "$raw" "$@" "$source" \
    > "$raw.log" 2>&1 || rc=$?
  if [ $rc = 0 ]; then
    echo "== auditwheel repair --plat $wheel_policy into $out/"
    local wheel
    for wheel in "$raw"/*.whl; do
      auditwheel repair --plat "$wheel_policy" --wheel-dir "$out" "$wheel" >> "$raw.log" 2>&1 || { rc=$?; break; }
    done
  fi
  [ $rc = 0 ] || { cat "$raw.log"; echo "building the wheel failed (log above)" >&2; }
  grep -E '^Fixed-up wheel written to' "$raw.log" || true
  rm -rf "$raw" "$raw.log"
  return $rc
}

cpp_tests() {
  local dir=${cpp_dir:-.dev/cpp-tests}
  echo "== building the C++ core tests"
  mkdir -p "$(dirname "$dir")"  # a fresh clone has no .dev yet
  cmake -S . -B "$dir" -G Ninja -DTAVIK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release "$@" > "$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$jobs"
  echo "== running the C++ core tests"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

# The sanitized run: the C++ core tests and the module built with
# AddressSanitizer and UndefinedBehaviorSanitizer, in their own build
# directories and venv so that the normal install stays as it is, and the
# Python suite run by an interpreter that preloads the sanitizer runtimes.
# Reports go to files judged by tools/sanitizer_reports.py. The C++ tests
# and the Python suite always both run; their failures add up.
sanitized_tests() {
  local rc=0 logs=.dev/sanitizer-logs
  rm -rf "$logs" && mkdir -p "$logs"
  local options="detect_leaks=1:allocator_may_return_null=1:detect_stack_use_after_return=1"
  options+=":check_initialization_order=1:strict_init_order=1:log_path=$top/$logs/asan"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$top/$logs/ubsan"
  export LSAN_OPTIONS="suppressions=$top/tools/lsan.supp:print_suppressions=0"
  ASAN_OPTIONS="$options" cpp_dir=.dev/cpp-tests-asan cpp_tests -DTAVIK_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    || rc=1

  local venv=.dev/venv-asan py=.dev/venv-asan/bin/python log=.dev/pip-install-asan.log
  ensure_venv
  echo "== building and installing the sanitized module into $venv"
  if ! "$py" -m pip install --no-build-isolation --no-deps --no-index --disable-pip-version-check \
      -C build-dir=build/sanitize -C cmake.define.TAVIK_SANITIZE=ON -C cmake.build-type=RelWithDebInfo \
      . > "$log" 2>&1; then
    cat "$log"
    echo "pip install . (sanitized) failed (log: $log)" >&2
    return 1
  fi
  # Every interpreter of this venv checks for leaks as it begins to exit.
  local site; site=$("$py" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
  cp tools/sanitizer_leak_check.py "$site/_tavik_leak_check.py"
  echo "import _tavik_leak_check" > "$site/_tavik_leak_check.pth"
  echo "== running the Python tests under the sanitizers"
  # PYTHONMALLOC=malloc puts Python objects on the sanitized heap too, so a
  # stale reference to one is caught like any other.
  ASAN_OPTIONS="$options:leak_check_at_exit=0" \
    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
    PYTHONMALLOC=malloc TAVIK_SANITIZED=1 \
    "$py" -m pytest tests/python -q -p no:cacheprovider "$@" || rc=1
  python3 tools/sanitizer_reports.py "$logs" || rc=1
  return $rc
}

# The Python suite on the interpreter's debug build (python3.14d: C-API
# assertions, reference totals), with the module built for its ABI in its own
# build directory and venv. Debian's debug interpreter imports the release
# builds of the system's numpy; tests whose libraries do not import there
# skip with the reason.
debug_python_tests() {
  local venv=.dev/venv-debug py=.dev/venv-debug/bin/python log=.dev/pip-install-debug.log
  if [ ! -x "$py" ]; then
    echo "== creating $venv (python3.14d)"
    python3.14d -m venv --system-site-packages "$venv"
  fi
  echo "== building and installing tavik for the debug interpreter into $venv"
  if ! "$py" -m pip install --no-build-isolation --no-deps --no-index --disable-pip-version-check \
      -C build-dir=build/debug-python . > "$log" 2>&1; then
    cat "$log"
    echo "pip install . (debug interpreter) failed (log: $log)" >&2
    return 1
  fi
  "$py" -c 'import sys, tavik; assert hasattr(sys, "gettotalrefcount"), "not a debug build"' \
    || { echo "tavik failed to import into the debug interpreter" >&2; return 1; }
  # The wheel tests (slow) build with the release interpreter: nothing more
  # to learn from them here.
  echo "== running the Python tests on the debug interpreter"
  "$py" -m pytest tests/python -q -p no:cacheprovider -m "not slow" "$@"
}

# libFuzzer targets of the core (tests/fuzz), built with clang.
fuzz_build() {
  local dir=.dev/fuzz-build
  echo "== building the fuzz targets (clang, libFuzzer, ASan, UBSan)"
  mkdir -p .dev
  CXX=clang++ cmake -S tests/fuzz -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$jobs"
}

# Runs every target for its share of $1 seconds, on a corpus kept in
# .dev/fuzz-corpus that grows from run to run.
fuzz_run() {
  local seconds=$1 targets=(.dev/fuzz-build/fuzz_*) rc=0
  local each=$(( seconds / ${#targets[@]} ))
  [ "$each" -ge 1 ] || each=1
  for target in "${targets[@]}"; do
    local name; name=$(basename "$target")
    local corpus=.dev/fuzz-corpus/$name seeds=()
    mkdir -p "$corpus" .dev/fuzz-artifacts
    [ -d "tests/fuzz/seeds/$name" ] && seeds=("tests/fuzz/seeds/$name")
    echo "== $name for ${each}s"
    if ! ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:allow_addr2line=1 \
        UBSAN_OPTIONS=print_stacktrace=1:allow_addr2line=1 \
        "$target" -max_total_time="$each" -timeout=20 -rss_limit_mb=2048 -malloc_limit_mb=1024 \
        -print_final_stats=1 -artifact_prefix=.dev/fuzz-artifacts/"$name"- "$corpus" "${seeds[@]}" \
        > ".dev/fuzz-$name.log" 2>&1; then
      grep -v -E '^#[0-9]+|NEW_FUNC' ".dev/fuzz-$name.log" | tail -n 60
      echo "$name failed; the input is in .dev/fuzz-artifacts/ (rerun: $target FILE)" >&2
      rc=1
    fi
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)' ".dev/fuzz-$name.log" | tr '\n' ' ' || true; echo
  done
  return $rc
}

case "$cmd" in
  build)
    install_module
    ;;
  test)
    if [ "${1:-}" = --sanitize ]; then
      shift
      sanitized_tests "$@" && exit 0 || exit 1
    fi
    if [ "${1:-}" = --debug-python ]; then
      shift
      debug_python_tests "$@" && exit 0 || exit 1
    fi
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
    # wheel [--wheel-dir DIR] [--from SDIST] [PIP ARGS]
    out=dist source=.
    while [ $# -gt 0 ]; do
      case "$1" in
        --wheel-dir) out=$2; shift 2 ;;
        --from) source=$2; shift 2 ;;
        *) break ;;
      esac
    done
    portable_wheel "$out" "$source" "$@"
    ;;
  sdist)
    # sdist [--outdir DIR]
    out=dist
    [ "${1:-}" = --outdir ] && out=$2
    echo "== building an sdist into $out/"
    python3 -m build --sdist --no-isolation --outdir "$out" . > .dev/sdist.log 2>&1 \
      || { cat .dev/sdist.log; echo "building the sdist failed (log: .dev/sdist.log)" >&2; exit 1; }
    tail -n 1 .dev/sdist.log
    ;;
  fuzz)
    # fuzz [SECONDS]          the core's libFuzzer targets (default 60 s in all)
    # fuzz --long [SECONDS]   also the Python entry points with many more
    #                         examples; the targets then get 600 s by default
    long=0
    if [ "${1:-}" = --long ]; then long=1; shift; fi
    seconds=${1:-$(( long ? 600 : 60 ))}
    rc=0
    if [ "$long" = 1 ]; then
      install_module
      echo "== fuzzing the Python entry points (TAVIK_FUZZ_EXAMPLES=${TAVIK_FUZZ_EXAMPLES:=20000})"
      TAVIK_FUZZ_EXAMPLES=$TAVIK_FUZZ_EXAMPLES "$py" -m pytest tests/python/test_fuzz_entry_points.py \
        -q -p no:cacheprovider || rc=1
    fi
    fuzz_build && fuzz_run "$seconds" || rc=1
    exit $rc
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
