#!/usr/bin/env bash
# The reliability stage: nothing a Python caller passes may crash the
# interpreter, leak, leave a borrow behind or return a wrong value silently.
# Steps (all by default, or the ones named as arguments, in this order):
#   sanitize   builds the module with AddressSanitizer and UndefinedBehavior-
#              Sanitizer (CMake option KESTRELFIN_SANITIZE) and runs the whole
#              pytest suite under it, the runtime preloaded; any report fails;
#   identical  the sanitizer build and the wheel (WHEEL) compute the same bits
#              on a fixed set of inputs (tests/reliability/dump_results.py);
#   soak       10^6 scalar and 10^4 array calls, failing ones included, with
#              flat resident memory (tests/reliability/soak.py);
#   valgrind   memcheck over every function's successful and failing calls:
#              no definite leak and no memory error through the module;
#   fuzz       the coverage-guided fuzzer atheris on argument matching and
#              flag parsing (tests/fuzz/fuzz_arguments.py), on a clang build
#              with coverage instrumentation and both sanitizers.
# Settings (read by this script and the test tooling, never by the module):
#   KESTRELFIN_FUZZ_SECONDS   atheris's time budget (default 60)
#   KESTRELFIN_FUZZ_PROFILE   hypothesis profile of test_fuzz.py: ci (default)
#                             or long; KESTRELFIN_FUZZ_EXAMPLES overrides the
#                             number of examples per function
#   KESTRELFIN_SOAK_CALLS     scalar calls of the soak step (default 1000000)
# Alone, e.g.:  bash scripts/test-stages/reliability.sh sanitize fuzz
# (without WHEEL set, the wheel is built first, as scripts/test.sh does).
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

WORK="$ROOT/build/reliability"
REPORTS="$WORK/reports"
mkdir -p "$WORK"
stage_started=$SECONDS
steps=("$@")
[ "${#steps[@]}" -gt 0 ] || steps=(sanitize identical soak valgrind fuzz)
# Builds of the checking variants use at most the machine's two cores.
export CMAKE_BUILD_PARALLEL_LEVEL=2

wants() {
    local step
    for step in "${steps[@]}"; do
        [ "$step" = "$1" ] && return 0
    done
    return 1
}

# timed DESCRIPTION COMMAND...: runs the command, then tells its time; the
# command's status is timed's (the time's echo must not hide a failure).
timed() {
    local description="$1" started=$SECONDS status=0
    shift
    log "reliability: $description"
    "$@" || status=$?
    echo "(reliability: $description: $((SECONDS - started)) s)" >&2
    return "$status"
}

ensure_tools() {
    ensure_system_packages clang valgrind
}

# build_variant NAME [pip wheel options...]: a wheel of the sources with the
# given CMake settings, built incrementally in build/reliability/NAME-build;
# prints its path.
build_variant() {
    local name="$1" python
    shift
    python="$(make_venv build 3.12 -r "$ROOT/requirements/build.txt" wheel)"
    rm -rf "$WORK/$name-dist"
    # shellcheck disable=SC2046 # one word per setting
    run_with_progress "building the $name variant" "$WORK/$name-build.log" \
        "$python" -m pip wheel -v --no-deps --no-build-isolation -C install.strip=false \
        -C build-dir="$WORK/$name-build" $(compiler_launcher_settings) -w "$WORK/$name-dist" "$@" "$ROOT"
    ls "$WORK/$name-dist"/kestrelfin-*.whl
}

# The environment of a process that loads the sanitizer build. The runtimes
# are preloaded because the interpreter itself is not instrumented; Python
# objects come from malloc so that ASan sees each one; leaks at exit are the
# interpreter's own (valgrind checks leaks); reports go to files, one per
# process, subprocesses of the tests included.
sanitizer_env() {
    local preload
    preload="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
    echo LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
        ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:quarantine_size_mb=16:log_path=$REPORTS/asan" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan"
}

# Fails when any process left a sanitizer report.
check_reports() {
    if grep -l -E "ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer" "$REPORTS"/* >/dev/null 2>&1; then
        echo "error: sanitizer reports:" >&2
        grep -l -E "ERROR: AddressSanitizer|runtime error:" "$REPORTS"/* | while read -r report; do
            echo "--- $report" >&2
            cat "$report" >&2
        done
        return 1
    fi
    echo "no sanitizer report" >&2
}

ensure_tools
if wants identical || wants soak || wants valgrind; then
    if [ -z "${WHEEL:-}" ]; then
        WHEEL="$(build_wheel)"
    fi
    WHEEL="$(cd "$(dirname "$WHEEL")" && pwd)/$(basename "$WHEEL")"
    plain="$(make_venv reliability 3.12 -r "$ROOT/requirements/test.txt" "numpy>=2")"
    install_wheel "$plain" "$WHEEL"
fi

if wants sanitize || wants identical; then
    sanitized_wheel="$(timed "sanitizer build" build_variant sanitize -C cmake.define.KESTRELFIN_SANITIZE=ON)"
    sanitized="$(make_venv reliability-sanitize 3.12 -r "$ROOT/requirements/test.txt" "numpy>=2")"
    install_wheel "$sanitized" "$sanitized_wheel"
fi

if wants sanitize; then
    rm -rf "$REPORTS"
    mkdir -p "$REPORTS"
    # A report ends the process that made it (pytest too): show the reports
    # before failing.
    status=0
    # shellcheck disable=SC2046 # one word per variable
    (cd "$ROOT/tests/python" &&
        timed "whole pytest suite under ASan and UBSan" \
            env $(sanitizer_env) "$sanitized" -m pytest -q -p no:cacheprovider) || status=$?
    check_reports || status=1
    [ "$status" -eq 0 ] || { echo "error: the test suite failed under the sanitizers" >&2; exit 1; }
fi

if wants identical; then
    rm -rf "$WORK/results"
    timed "results of the wheel" "$plain" "$ROOT/tests/reliability/dump_results.py" \
        "$WORK/results/inputs.npz" "$WORK/results/wheel"
    rm -rf "$REPORTS"
    mkdir -p "$REPORTS"
    status=0
    # shellcheck disable=SC2046
    timed "results of the sanitizer build" env $(sanitizer_env) "$sanitized" \
        "$ROOT/tests/reliability/dump_results.py" "$WORK/results/inputs.npz" "$WORK/results/sanitized" || status=$?
    check_reports || status=1
    [ "$status" -eq 0 ] || exit 1
    timed "comparing them" "$plain" "$ROOT/tests/reliability/compare_results.py" \
        "$WORK/results/wheel" "$WORK/results/sanitized"
fi

if wants soak; then
    timed "soak: memory over ${KESTRELFIN_SOAK_CALLS:-1000000} scalar and 10000 array calls" \
        "$plain" "$ROOT/tests/reliability/soak.py" --scalar-calls "${KESTRELFIN_SOAK_CALLS:-1000000}" \
        --array-calls 10000
fi

if wants valgrind; then
    # No suppression file: the interpreter's own reports are counted and
    # left aside by the checker, which fails on anything through the module.
    timed "valgrind memcheck" env PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full \
        --show-leak-kinds=definite --errors-for-leak-kinds=definite --num-callers=40 \
        --xml=yes --xml-file="$WORK/valgrind.xml" --log-file="$WORK/valgrind.log" \
        "$plain" "$ROOT/tests/reliability/valgrind_workload.py" 3
    "$plain" "$ROOT/tests/reliability/check_valgrind.py" "$WORK/valgrind.xml"
fi

if wants fuzz; then
    fuzz_wheel="$(CC=clang CXX=clang++ timed "coverage-instrumented build (clang)" build_variant fuzz \
        -C cmake.define.KESTRELFIN_SANITIZE=ON -C cmake.define.KESTRELFIN_FUZZ_COVERAGE=ON)"
    fuzzer="$(make_venv reliability-fuzz 3.12 -r "$ROOT/requirements/reliability.txt" "numpy>=2")"
    install_wheel "$fuzzer" "$fuzz_wheel"
    # atheris ships libFuzzer together with the sanitizer runtimes.
    runtime="$("$fuzzer" -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so"
    mkdir -p "$WORK/fuzz-corpus" "$WORK/fuzz-artifacts"
    timed "atheris for ${KESTRELFIN_FUZZ_SECONDS:-60} s" env LD_PRELOAD="$runtime" \
        ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1" UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
        "$fuzzer" "$ROOT/tests/fuzz/fuzz_arguments.py" -max_total_time="${KESTRELFIN_FUZZ_SECONDS:-60}" \
        -print_final_stats=1 -artifact_prefix="$WORK/fuzz-artifacts/" "$WORK/fuzz-corpus" \
        2>"$WORK/fuzz.log" || { tail -n 60 "$WORK/fuzz.log" >&2; exit 1; }
    grep -E "^(Done|stat::number_of_executed_units|INFO: Loaded)|cov: " "$WORK/fuzz.log" | tail -n 4 >&2
fi

log "reliability stage passed in $((SECONDS - stage_started)) s"
