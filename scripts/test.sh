#!/usr/bin/env bash
# Runs every test: the C++ core tests (ctest) and the Python suite (pytest)
# under Python 3.12 and 3.13, with NumPy 2.x and, on 3.12, NumPy 1.26.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_system_packages libgtest-dev clang-format

log "source layout"
"$ROOT/scripts/check-format.sh"

log "C++ tests"
# The embedded interpreter of the binding's tests imports NumPy: take the
# build environment's Python, which has it (the same one build_wheel uses).
python_for_embedding="$(make_venv build 3.12 -r "$ROOT/requirements/build.txt" wheel)"
cmake -S "$ROOT" -B "$ROOT/build/core-tests" -DCMAKE_BUILD_TYPE=Release -DKESTRELFIN_BUILD_TESTS=ON \
      -DKESTRELFIN_WERROR=ON -DPython_EXECUTABLE="$python_for_embedding" >/dev/null
cmake --build "$ROOT/build/core-tests" -j2
ctest --test-dir "$ROOT/build/core-tests" --output-on-failure --no-tests=error

wheel="$(build_wheel)"

# name, Python version, NumPy requirement
environments=(
    "py312-numpy2 3.12 numpy>=2"
    "py313-numpy2 3.13 numpy>=2"
    "py312-numpy1 3.12 numpy==1.26.*"
)
for environment in "${environments[@]}"; do
    read -r name version numpy <<<"$environment"
    python="$(make_venv "$name" "$version" -r "$ROOT/requirements/test.txt" "$numpy")"
    install_wheel "$python" "$wheel"
    log "pytest on $name ($("$python" -c 'import sys, numpy; print(sys.version.split()[0], "numpy", numpy.__version__)'))"
    # Run from the tests folder so that the installed wheel, not the source
    # tree, is what gets imported. pytest exits non-zero when it collects nothing.
    (cd "$ROOT/tests/python" && "$python" -m pytest -q -p no:cacheprovider "$@")
done
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
log "all tests passed"
