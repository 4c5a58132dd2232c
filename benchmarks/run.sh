#!/usr/bin/env bash
# The benchmark suite, in one command:
#
#   benchmarks/run.sh                 # full run: 10^6 options per input set (10 to 15 minutes on two cores)
#   benchmarks/run.sh --quick         # 10^5 options, fewer repeats (about 2 minutes)
#   benchmarks/run.sh --against REF   # and compare every scalar call's cost and every array
#                                     # result's bits with the module at git ref REF
#
# Builds the module's wheel (scripts/common.sh), makes the benchmark
# environments .venvs/bench (benchmarks/requirements.txt) and .venvs/bench-pvv
# (py_vollib_vectorized, benchmarks/requirements-pvv.txt) and, with
# --against, .venvs/bench-ref (the module at that ref, benchmarks/ref.sh),
# builds the two floors libraries from benchmarks/floors/floors.cpp, then
# runs benchmarks/bench.py: every contender in one process on the same
# inputs. A full run rewrites benchmarks/RESULTS.md and benchmarks/results.png;
# a quick run writes build/benchmarks/RESULTS-quick.md and results-quick.png
# instead, so that development runs never replace the published figures.
# Then benchmarks/package.py measures the kestrelfin package against
# _kestrelfin (benchmarks/PACKAGE.md, or build/benchmarks/PACKAGE-quick.md).
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

quick=0
against=""
while [ "$#" -gt 0 ]; do
    case "$1" in
        --quick) quick=1 ;;
        --against) against="${2:?--against takes a git ref}"; shift ;;
        *) echo "usage: benchmarks/run.sh [--quick] [--against REF]" >&2; exit 2 ;;
    esac
    shift
done

ensure_system_packages
out="$ROOT/build/benchmarks"
mkdir -p "$out/wheel"
# build/dist is shared with the other scripts, which empty it when they
# build: keep a copy of this run's wheel of our own.
built="$(build_wheel)"
rm -f "$out"/wheel/*.whl
cp "$built" "$out/wheel/"
wheel="$out/wheel/$(basename "$built")"
python="$(make_venv bench 3.12 -r "$ROOT/benchmarks/requirements.txt")"
install_wheel "$python" "$wheel"
# py_vollib_vectorized cannot live beside vollib (benchmarks/pvv_peer.py says
# why): it gets its own environment and runs in a subprocess of the run.
pvv_python="$(make_venv bench-pvv 3.12 -r "$ROOT/benchmarks/requirements-pvv.txt")"
# The module at the ref compared against (built once, then kept).
ref_python=""
if [ -n "$against" ]; then
    ref_python="$(bash "$ROOT/benchmarks/ref.sh" "$against")"
fi

# The floors: the core formulas in plain loops, and the same loops with every
# exp/log call recorded (the core headers call exp and log of the C library;
# --wrap sends those calls to __wrap_exp/__wrap_log in floors.cpp).
log "building the floors library"
flags=(-O2 -ffp-contract=off -std=c++20 -Wno-psabi -I"$ROOT" -fPIC -shared -fvisibility=hidden)
g++ "${flags[@]}" "$ROOT/benchmarks/floors/floors.cpp" -o "$out/libkf_floors.so"
g++ "${flags[@]}" -DKF_RECORDING "$ROOT/benchmarks/floors/floors.cpp" -o "$out/libkf_record.so" \
    -Wl,--wrap=exp,--wrap=log

if [ "$quick" = 1 ]; then
    outputs=(--quick --markdown "$out/RESULTS-quick.md" --plot "$out/results-quick.png")
    package_outputs=(--quick --markdown "$out/PACKAGE-quick.md")
    package_one_thread_outputs=(--quick --markdown "$out/PACKAGE-one-thread-quick.md")
    threads_outputs=(--quick --markdown "$out/THREADS-quick.md")
else
    outputs=(--markdown "$ROOT/benchmarks/RESULTS.md" --plot "$ROOT/benchmarks/results.png")
    package_outputs=(--markdown "$ROOT/benchmarks/PACKAGE.md")
    package_one_thread_outputs=(--markdown "$ROOT/benchmarks/PACKAGE-one-thread.md")
    threads_outputs=(--markdown "$ROOT/benchmarks/THREADS.md")
fi

# Some machines here set OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE, which slow a
# current NumPy; the benchmark runs without them (none of the measured code
# calls BLAS, but NumPy loads OpenBLAS at import) and records what was set.
openblas_note="OPENBLAS_CORETYPE=${OPENBLAS_CORETYPE:-unset}, OPENBLAS_L2_SIZE=${OPENBLAS_L2_SIZE:-unset}; unset for the run"

log "running the benchmark"
cd "$ROOT/benchmarks"
env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE KF_BENCH_OPENBLAS_NOTE="$openblas_note" \
    "$python" "$ROOT/benchmarks/bench.py" --floors "$out" --json "$out/results.json" \
    --pvv-python "$pvv_python" ${ref_python:+--ref-python "$ref_python" --ref "$against"} "${outputs[@]}"

# The kestrelfin package against _kestrelfin (benchmarks/package.py).
log "running the package benchmark"
env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$python" "$ROOT/benchmarks/package.py" "${package_outputs[@]}"

# The package's array figures again with kestrelfin held to one thread (the
# run above takes its default: the CPUs the process may use), then the
# thread pool's own targets (benchmarks/threads.py). _kestrelfin always runs
# on the calling thread; py_vollib_vectorized's numba thread count is stated
# with its figures in RESULTS.md.
log "running the package benchmark on one thread"
env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE KESTRELFIN_NUM_THREADS=1 "$python" "$ROOT/benchmarks/package.py" \
    "${package_one_thread_outputs[@]}"
log "running the threads benchmark"
env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$python" "$ROOT/benchmarks/threads.py" "${threads_outputs[@]}"
