#!/usr/bin/env bash
# The test command, in two tiers.
#
#   ./scripts/test.sh           the quick tier, for every commit: the layout
#                               of the sources, the C++ core tests with fewer
#                               inputs in their long comparisons, the
#                               manylinux wheel, and pytest on Python 3.12
#                               with NumPy 2.
#   ./scripts/test.sh --full    everything, as CI runs it: the C++ core tests
#                               at full size, the wheel, pytest under Python
#                               3.12 and 3.13 with NumPy 2 and on 3.12 with
#                               NumPy 1.26, once more with glibc's exp and log
#                               built without FMA, the stages of
#                               scripts/test-stages/ (ecosystem, reliability)
#                               and the documentation (scripts/build-docs.sh).
#
# Any further arguments go to every pytest run (e.g. -k polars -x).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

full=false
if [ "${1:-}" = "--full" ]; then
    full=true
    shift
fi
started=$SECONDS

ensure_system_packages libgtest-dev clang-format ccache

log "source layout"
"$ROOT/scripts/check-format.sh"

log "C++ tests ($($full && echo "full size" || echo "quick: fewer inputs in the long comparisons"))"
# The embedded interpreter of the binding's tests imports NumPy: take the
# build environment's Python, which has it (the same one build_wheel uses).
python_for_embedding="$(make_venv build 3.12 -r "$ROOT/requirements/build.txt" wheel)"
cmake -S "$ROOT" -B "$ROOT/build/core-tests" -DCMAKE_BUILD_TYPE=Release -DKESTRELFIN_BUILD_TESTS=ON \
      -DKESTRELFIN_WERROR=ON -DPython_EXECUTABLE="$python_for_embedding" $(compiler_launcher_option) >/dev/null
# The quick tier builds what ctest runs and no more (the wheel below builds
# the modules); the full tier builds every target, the programs beside the
# tests included.
if $full; then
    cmake --build "$ROOT/build/core-tests" -j2
else
    cmake --build "$ROOT/build/core-tests" -j2 --target kestrelfin_core_tests
fi
# The replicas of exp and log are compared with the libm on 10^7 inputs per
# function and instance in the full tier, on 2 10^6 in the quick one: every
# special range and every lane position is still covered by the inputs'
# structured part, which comes first (tests/core/exp_log_test_inputs.hpp).
replica_inputs=2000000
$full && replica_inputs=10000000
KESTRELFIN_REPLICA_INPUTS="$replica_inputs" \
    ctest --test-dir "$ROOT/build/core-tests" --output-on-failure --no-tests=error --parallel 2

# The wheel as it would be published: checked by auditwheel and tagged for
# the manylinux policy; every environment below installs this file. Built
# with the C++ tests' settings, so that ccache has already compiled its
# sources there.
wheel="$(repair_wheel "$(build_wheel -C cmake.define.KESTRELFIN_WERROR=ON)")"

# name, Python version, NumPy requirement
environments=("py312-numpy2 3.12 numpy>=2")
if $full; then
    environments+=(
        "py313-numpy2 3.13 numpy>=2"
        "py312-numpy1 3.12 numpy==1.26.*"
    )
fi
for environment in "${environments[@]}"; do
    read -r name version numpy <<<"$environment"
    python="$(make_venv "$name" "$version" -r "$ROOT/requirements/test.txt" "$numpy")"
    install_wheel "$python" "$wheel"
    log "pytest on $name ($("$python" -c 'import sys, numpy; print(sys.version.split()[0], "numpy", numpy.__version__)'))"
    # Run from the tests folder so that the installed wheel, not the source
    # tree, is what gets imported. pytest exits non-zero when it collects nothing.
    (cd "$ROOT/tests/python" && "$python" -m pytest -q -p no:cacheprovider "$@")
done

if ! $full; then
    log "quick tier passed in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s" \
        "(./scripts/test.sh --full runs everything)"
    exit 0
fi

# The suite once more in processes whose C library runs its exp and log built
# without FMA (glibc picks the FMA build on CPUs with AVX2 and FMA): the array
# kernels must then take the replica of that build, and every result still
# equal the scalar functions, which call that build too.
python="$VENVS/py312-numpy2/bin/python"
log "pytest on py312-numpy2 with glibc's exp and log built without FMA"
(cd "$ROOT/tests/python" &&
    GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA,-AVX2 "$python" -m pytest -q -p no:cacheprovider "$@")
# Further stages, each a script of its own: the sanitizer build and the
# fuzzers (reliability), the packaging and integration checks (ecosystem).
for stage in "$ROOT"/scripts/test-stages/*.sh; do
    [ -e "$stage" ] || continue
    log "stage $(basename "$stage" .sh)"
    WHEEL="$wheel" bash "$stage"
done
# The documentation site: built with warnings as errors, the user guide's
# examples run as doctests.
if [ -x "$ROOT/scripts/build-docs.sh" ]; then
    log "documentation"
    "$ROOT/scripts/build-docs.sh"
fi
log "all tests passed in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"
