#!/usr/bin/env bash
# The module as it was at commit $BASELINE_COMMIT (c277441, the last commit
# before the array kernels took the lane-wise exp/log replicas), for the
# benchmark's "no slower than before" and "same bits as before" checks.
#
#   benchmarks/baseline.sh        # prints the python of .venvs/bench-baseline
#
# The first run exports that commit's tree (git archive, no checkout of the
# work tree) to build/benchmarks/baseline-<commit>/src and builds its wheel
# the way that commit builds it (its own scripts/common.sh, its own
# .venvs/build); later runs reuse the wheel. The wheel goes into
# .venvs/bench-baseline (Python 3.12, NumPy as in requirements.txt), which
# benchmarks/baseline_worker.py runs in. Prints nothing and fails when the
# commit is not in this clone's history (a shallow clone).
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

BASELINE_COMMIT="${BASELINE_COMMIT:-c277441}"
dir="$ROOT/build/benchmarks/baseline-$BASELINE_COMMIT"

if ! git -C "$ROOT" cat-file -e "$BASELINE_COMMIT^{commit}" 2>/dev/null; then
    echo "baseline commit $BASELINE_COMMIT is not in this clone's history" >&2
    exit 1
fi
if ! ls "$dir"/wheel/kestrelfin-*.whl >/dev/null 2>&1; then
    log "building the wheel of commit $BASELINE_COMMIT (once; kept in ${dir#"$ROOT"/})"
    rm -rf "$dir"
    mkdir -p "$dir/src" "$dir/wheel"
    git -C "$ROOT" archive "$BASELINE_COMMIT" | tar -x -C "$dir/src"
    # That commit's own build: its scripts/common.sh's build_wheel.
    built="$(bash -c 'source "$1/scripts/common.sh" && build_wheel' _ "$dir/src")"
    cp "$built" "$dir/wheel/"
fi
numpy_pin="$(grep -E '^numpy==' "$ROOT/benchmarks/requirements.txt")"
python="$(make_venv bench-baseline 3.12 "$numpy_pin")"
install_wheel "$python" "$(ls "$dir"/wheel/kestrelfin-*.whl)"
echo "$python"
