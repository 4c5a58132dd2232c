# Shared helpers of the project's scripts: finding interpreters, making
# virtual environments, building the wheel once. Sourced, not run.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENVS="$ROOT/.venvs"
DIST="$ROOT/build/dist"

log() { printf '\n==> %s\n' "$*" >&2; }

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

# The system packages the build and the C++ tests need (Debian names).
ensure_system_packages() {
    local missing=()
    command -v g++ >/dev/null 2>&1 || missing+=(g++)
    command -v cmake >/dev/null 2>&1 || missing+=(cmake)
    [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
    if [ "${#missing[@]}" -gt 0 ]; then
        log "installing system packages: ${missing[*]}"
        if [ "$(id -u)" = 0 ]; then
            apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
        else
            sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
        fi
    fi
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

# Builds the one abi3 wheel (with Python 3.12, the oldest supported) and
# prints its path. Every environment installs this same file.
build_wheel() {
    local python
    python="$(make_venv build 3.12 -r "$ROOT/requirements/build.txt" wheel)"
    rm -rf "$DIST"
    mkdir -p "$DIST"
    log "building the wheel"
    "$python" -m pip wheel -q --no-deps --no-build-isolation -w "$DIST" "$ROOT" >&2
    ls "$DIST"/kestrelfin-*.whl
}

install_wheel() {
    local python="$1" wheel="$2"
    "$python" -m pip install -q --force-reinstall --no-deps "$wheel" >&2
}
