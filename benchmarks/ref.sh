#!/usr/bin/env bash
# The module as it is at a git ref, for the benchmark's comparison of scalar
# call costs and of every array result's bits against another version:
#
#   benchmarks/ref.sh REF        # prints the python of .venvs/bench-ref
#
# The first run for a commit exports its tree (git archive, no checkout of
# the work tree) to build/benchmarks/ref-<commit>/src and builds its wheel
# the way that commit builds it (its own scripts/common.sh, its own
# .venvs/build); later runs reuse the wheel. The wheel goes into
# .venvs/bench-ref (Python 3.12, NumPy as in requirements.txt), which
# benchmarks/ref_worker.py runs in. Fails, printing nothing, when the ref is
# not in this clone's history (a shallow clone).
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

ref="${1:?usage: benchmarks/ref.sh REF}"
if ! commit="$(git -C "$ROOT" rev-parse --short "$ref^{commit}" 2>/dev/null)"; then
    echo "$ref is not a commit in this clone's history" >&2
    exit 1
fi
dir="$ROOT/build/benchmarks/ref-$commit"
if ! ls "$dir"/wheel/kestrelfin-*.whl >/dev/null 2>&1; then
    log "building the wheel of $ref ($commit; once, kept in ${dir#"$ROOT"/})"
    rm -rf "$dir"
    mkdir -p "$dir/src" "$dir/wheel"
    git -C "$ROOT" archive "$commit" | tar -x -C "$dir/src"
    # That commit's own build: its scripts/common.sh's build_wheel.
    built="$(bash -c 'source "$1/scripts/common.sh" && build_wheel' _ "$dir/src")"
    cp "$built" "$dir/wheel/"
fi
numpy_pin="$(grep -E '^numpy==' "$ROOT/benchmarks/requirements.txt")"
python="$(make_venv bench-ref 3.12 "$numpy_pin")"
install_wheel "$python" "$(ls "$dir"/wheel/kestrelfin-*.whl)"
echo "$python"
