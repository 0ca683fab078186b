#!/usr/bin/env bash
# Runs every benchmark: the Python-level comparisons (bench/bench_*.py) and
# the C++ kernel benchmark. Usage: bench/run.sh PYTHON [--quick]
set -euo pipefail
py=${1:?usage: bench/run.sh PYTHON [--quick]}
shift
cd "$(dirname "${BASH_SOURCE[0]}")/.."
for script in bench/bench_*.py; do
  [ -e "$script" ] || continue
  echo "== $script"
  "$py" "$script" "$@"
done
if [ -f bench/cpp_kernel.sh ]; then
  echo "== bench/cpp_kernel.sh"
  bash bench/cpp_kernel.sh "$@"
fi
