#!/usr/bin/env bash
# C++ kernel benchmark of the batch evaluation: builds bench/cpp in
# .dev/bench-cpp (Release), runs it and prints the ratios that matter.
# Usage: bench/cpp_kernel.sh [--quick]
# Outside the development root it re-runs itself through ./dev run.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

if [ -z "${TAVIK_IN_ROOT:-}" ] && [ -x ./dev ] && ! pkg-config --exists eigen3 2>/dev/null; then
  exec ./dev run bash bench/cpp_kernel.sh "$@"
fi

quick=0
for arg in "$@"; do
  [ "$arg" = --quick ] && quick=1
done

dir=.dev/bench-cpp
mkdir -p "$dir"
echo "== building the kernel benchmark in $dir"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVIK_BUILD_BENCH=ON -DTAVIK_BUILD_TESTS=OFF \
  > "$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; exit 1; }
cmake --build "$dir" --target tavik_kernel_bench > "$dir/build.log" 2>&1 || { cat "$dir/build.log"; exit 1; }

if [ "$quick" = 1 ]; then
  run_args=(--benchmark_min_time=0.05s --benchmark_repetitions=1)
else
  # Repetitions interleaved in random order; the ratios use the fastest of
  # each, the one least disturbed by whatever else runs on the machine.
  run_args=(--benchmark_min_time=0.2s --benchmark_repetitions=7 --benchmark_enable_random_interleaving=true
            --benchmark_display_aggregates_only=true)
fi
echo "== running (this machine: $(nproc) processors available)"
load_before=$(cut -d' ' -f1 /proc/loadavg 2>/dev/null || echo 0)
"$dir/tavik_kernel_bench" "${run_args[@]}" --benchmark_out="$dir/results.json" --benchmark_out_format=json

python3 - "$dir/results.json" "$load_before" "$(nproc)" <<'PY'
import json, sys

runs = json.load(open(sys.argv[1]))["benchmarks"]
# Fastest repetition of each benchmark; skipped ones (an instruction set the
# processor lacks) are left out.
time = {}
for r in runs:
    if r.get("run_type") != "iteration" or r.get("error_occurred") or r.get("skipped"):
        continue
    seconds = r["real_time"] * {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[r["time_unit"]]
    time[r["run_name"]] = min(seconds, time.get(r["run_name"], seconds))

def t(name):
    return time[name]

def ns(name):
    return t(name) / 1e6 * 1e9

print()
print("== ratios (fastest of the repetitions; absolute times on a shared machine are noise)")
isa_names = ["SSE2", "AVX2", "AVX-512F"]
isas = [i for i in range(3) if f"Kernel/degree:3/isa:{i}/real_time" in time]
best = max(isas)
print(f"kernel alone, one thread, ns per time ({isa_names[best]} is what this processor runs):")
print("           " + "".join(f"{isa_names[i]:>10}" for i in isas) + "   floor   kernel / floor (target <= 1.5)")
for d in (1, 3, 8):
    row = "".join(f"{ns(f'Kernel/degree:{d}/isa:{i}/real_time'):10.2f}" for i in isas)
    floor = ns(f"DivisionFloor/degree:{d}/isa:{best}/real_time")
    ratio = ns(f"Kernel/degree:{d}/isa:{best}/real_time") / floor
    print(f"degree {d}:  {row}  {floor:6.2f}   {ratio:.2f}{'' if ratio <= 1.5 else ' MISSED'}")
row = "".join(f"{ns(f'DerivativeKernel/degree:3/isa:{i}/real_time'):10.2f}" for i in isas)
floor = ns(f"DerivativeDivisionFloor/degree:3/isa:{best}/real_time")
print(f"derivative 3:{row}  {floor:6.2f}   {ns(f'DerivativeKernel/degree:3/isa:{best}/real_time') / floor:.2f}")
print()
print("batches through evaluate_many:")
for d in (1, 3, 8):
    one = t(f"EvaluateMany/degree:{d}/workers:1/real_time")
    two = t(f"EvaluateMany/degree:{d}/workers:2/real_time")
    pool = t(f"EvaluateMany/degree:{d}/workers:0/real_time")
    single = t(f"SingleCallLoop/degree:{d}/real_time")
    seq = t(f"Batch2048Sequential/degree:{d}/real_time")
    par = t(f"Batch2048Pool/degree:{d}/real_time")
    print(f"degree {d}: {one / 1e6 * 1e9:6.2f} ns/time on one worker; "
          f"1->2 workers x{one / two:.2f} (target >= 1.7{'' if one / two >= 1.7 else ', MISSED'}); "
          f"whole pool x{one / pool:.2f}; "
          f"batch kernel vs per-time evaluate() x{single / one:.2f}; "
          f"2048 on the pool / sequential {par / seq:.2f} (target <= 2{'' if par / seq <= 2 else ', MISSED'})")
d1 = t("EvaluateDerivativeMany/degree:3/workers:1/real_time")
d0 = t("EvaluateDerivativeMany/degree:3/workers:0/real_time")
print(f"derivative, degree 3: {d1 / 1e6 * 1e9:6.2f} ns/time on one worker; whole pool x{d1 / d0:.2f}")
load = float(sys.argv[2])  # before the run: the run itself adds up to the pool size
if load > 0.5:
    print(f"note: load average {load:.2f} on {sys.argv[3]} processors: other processes competed for them,"
          " so the worker scaling ratios above understate the speed-up; rerun on a quiet machine")
PY
