#!/usr/bin/env bash
# The ecosystem stage: does kestrelfin fit the Python world? On the wheel that
# scripts/test.sh built (WHEEL), and on builds from the sources:
#   1. the wheel: its name and tag (one cp312-abi3 wheel; test.sh has already
#      installed and tested this very file under Python 3.12 and 3.13), its
#      metadata and its files (extension, the package kestrelfin with its
#      native module, type stubs, licence);
#   2. the sdist builds, holds what a build needs, and the wheel that
#      `pip install .` builds from it, a clean copy of the sources, is
#      repaired to the same manylinux tag and computes the same bits;
#   3. mypy --strict with the installed stubs (_kestrelfin's and the
#      package's): typical user scripts pass and wrong ones fail with exactly
#      the expected errors;
#   4. the Dask test (10^7 options as Dask arrays, and a Dask DataFrame, on a
#      LocalCluster of two worker processes);
#   5. the examples and the accuracy report run, and the chain workflow draws
#      its two PNG files.
# Every step runs under a time limit. Alone:
#   WHEEL=build/wheelhouse/kestrelfin-0.2.0-cp312-abi3-manylinux2014_x86_64.manylinux_2_17_x86_64.whl \
#       bash scripts/test-stages/ecosystem.sh
source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"

: "${WHEEL:?set WHEEL to the wheel to check (scripts/test.sh does)}"
WHEEL="$(cd "$(dirname "$WHEEL")" && pwd)/$(basename "$WHEEL")"
WORK="$ROOT/build/ecosystem"
rm -rf "$WORK"
mkdir -p "$WORK"
stage_started=$SECONDS

# step SECONDS DESCRIPTION COMMAND...: runs the command under a time limit.
step() {
    local limit="$1" description="$2" started=$SECONDS status=0
    shift 2
    log "ecosystem: $description"
    timeout --kill-after=15 "$limit" "$@" || status=$?
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        echo "error: '$description' took longer than $limit s" >&2
    fi
    [ "$status" -eq 0 ] || exit "$status"
    echo "($description: $((SECONDS - started)) s)" >&2
}

# The outputs of all 102 functions and of the kestrelfin package's functions
# on fixed inputs, as one digest: two installations that print the same
# digest compute the same bits.
FINGERPRINT='
import hashlib, inspect, math, numpy as np, _kestrelfin as kf
values = {"flag": None, "S": 101.0, "F": 101.0, "K": 95.0, "t": 0.5, "r": 0.03, "sigma": 0.25,
          "q": 0.01, "price": 10.0}
grid = {"S": np.linspace(50, 150, 64), "F": np.linspace(50, 150, 64), "K": np.full(64, 100.0),
        "t": np.geomspace(0.01, 5, 64), "sigma": np.linspace(0.05, 1.0, 64), "price": np.linspace(0.5, 40, 64)}
digest = hashlib.sha256()
for name in kf.__all__[:-1]:
    function = getattr(kf, name)
    for flag in ("c", "p"):
        arguments = []
        for parameter in inspect.signature(function).parameters:
            if parameter == "flag":
                arguments.append(flag)
            elif name.endswith("_array") and parameter in grid:
                arguments.append(grid[parameter])
            else:
                arguments.append(values[parameter])
        try:
            result = np.asarray(function(*arguments), dtype=np.float64)
        except ValueError as error:
            result = np.frombuffer(str(error).encode(), dtype=np.uint8)
        digest.update(name.encode() + flag.encode() + result.tobytes())
# ... and of the kestrelfin package: every function and greeks() on a grid
# of both kinds, and its docstrings.
import kestrelfin
flags = np.array(["c", "p"] * 32)
for model in (kestrelfin.bs, kestrelfin.bsm, kestrelfin.black76):
    for name in model.__all__:
        function = getattr(model, name)
        positional = [p.name for p in inspect.signature(function).parameters.values() if p.kind is p.POSITIONAL_OR_KEYWORD]
        arguments = [flags if p == "flag" else grid.get(p, values[p]) for p in positional]
        result = function(*arguments)
        for key, array in (result.items() if isinstance(result, dict) else [(name, result)]):
            digest.update(f"{model.__name__}.{key}".encode() + np.asarray(array, dtype=np.float64).tobytes())
        digest.update(function.__doc__.encode())
print(kf.__version__, digest.hexdigest())
'

python="$(make_venv ecosystem 3.12 -r "$ROOT/requirements/ecosystem.txt")"
install_wheel "$python" "$WHEEL"

step 60 "the wheel's name, tag, metadata and files" "$python" - "$WHEEL" "$ROOT" "$MANYLINUX_POLICY" <<'EOF'
import re, sys, zipfile
from email.parser import Parser
from pathlib import Path
import _kestrelfin

wheel, root, policy = Path(sys.argv[1]), Path(sys.argv[2]), sys.argv[3]
match = re.fullmatch(r"kestrelfin-(?P<version>[^-]+)-cp312-abi3-(?P<platform>[\w.]+)\.whl", wheel.name)
assert match, f"not a cp312-abi3 wheel of kestrelfin: {wheel.name}"
# auditwheel names the policy and, for the oldest ones, its legacy alias
# (manylinux_2_17 is manylinux2014): one tag each.
platforms = match["platform"].split(".")
assert policy in platforms, f"the wheel is tagged {match['platform']}, not {policy}"
assert match["version"] == "0.2.0" == _kestrelfin.__version__, (match["version"], _kestrelfin.__version__)
with zipfile.ZipFile(wheel) as archive:
    # (auditwheel's repacking adds entries for the directories)
    names = {name for name in archive.namelist() if not name.endswith("/")}
    info = "kestrelfin-0.2.0.dist-info"
    tags = Parser().parsestr(archive.read(f"{info}/WHEEL").decode())
    metadata = Parser().parsestr(archive.read(f"{info}/METADATA").decode())
    licence = archive.read(f"{info}/licenses/LICENSE").decode()
    stub = archive.read("_kestrelfin.pyi")
    assert archive.read("_kestrelfin-stubs/__init__.pyi") == stub
assert sorted(tags.get_all("Tag")) == sorted(f"cp312-abi3-{platform}" for platform in platforms), tags.get_all("Tag")
assert tags["Root-Is-Purelib"] == "false"
package = {f"kestrelfin/{name}" for name in (
    "__init__.py", "_docstrings.py", "_errors.py", "_factory.py", "_flags.py", "_containers.py", "_polars_columns.py",
    "_polars_expressions.py", "_reasons.py", "_threads.py", "bs.py", "bsm.py", "black76.py",
    "_ufuncs.abi3.so", "__init__.pyi", "bs.pyi", "bsm.pyi", "black76.pyi", "py.typed")}
expected_files = {"_kestrelfin.abi3.so", "_kestrelfin.pyi", "_kestrelfin-stubs/__init__.pyi",
                  f"{info}/METADATA", f"{info}/WHEEL", f"{info}/RECORD", f"{info}/licenses/LICENSE"} | package
assert names == expected_files, names ^ expected_files
assert licence == (root / "LICENSE").read_text() and licence.startswith("MIT License")
assert metadata["Name"] == "kestrelfin" and metadata["Version"] == "0.2.0"
assert metadata["Requires-Python"] == ">=3.12"
requires = metadata.get_all("Requires-Dist")
assert "numpy>=1.26" in requires and 'numpy>=1.26; extra == "arrays"' in requires, requires
assert metadata["License-Expression"] == "MIT" and metadata["License-File"] == "LICENSE"
classifiers = set(metadata.get_all("Classifier"))
for needed in ("Programming Language :: Python :: 3.12", "Programming Language :: Python :: 3.13",
               "Typing :: Typed"):
    assert needed in classifiers, needed
assert metadata["Summary"] and metadata["Description-Content-Type"] == "text/markdown"
assert metadata.get_payload().strip() == (root / "README.md").read_text().strip(), "long description is not the README"
print(f"{wheel.name}: tag cp312-abi3-{match['platform']}, version 0.2.0, MIT, the package kestrelfin, "
      "stubs and licence inside")
EOF

step 300 "the sdist builds and holds what a build needs" \
    "$python" -m build --sdist --no-isolation --outdir "$WORK/sdist" "$ROOT"
sdist="$WORK/sdist/kestrelfin-0.2.0.tar.gz"
mkdir -p "$WORK/clean"
tar -xzf "$sdist" -C "$WORK/clean"
source_copy="$WORK/clean/kestrelfin-0.2.0"
for needed in CMakeLists.txt pyproject.toml LICENSE README.md PKG-INFO kernels/functions.hpp \
              kernels/families.hpp kernels/element_loops.hpp cpython/numpy_import.cpp lowlevel/module.cpp \
              lowlevel/CMakeLists.txt ufuncs/module.cpp ufuncs/CMakeLists.txt texts/CMakeLists.txt \
              texts/generate.py texts/quantities.py texts/table_facts.cpp \
              core/normal.hpp core/implied_volatility.hpp core/rational_implied_volatility.hpp \
              linkage/system_exp_log.cpp linkage/old_pthread_symbols.cpp pool/thread_pool.cpp kestrelfin/CMakeLists.txt \
              kestrelfin/__init__.py kestrelfin/_factory.py; do
    [ -f "$source_copy/$needed" ] || { echo "error: the sdist lacks $needed" >&2; exit 1; }
done
# Nothing local may leak in: environments, build trees, caches.
if tar -tzf "$sdist" | grep -E '^kestrelfin-0\.2\.0/(\.venvs|build|dist|\.pytest_cache|\.hypothesis)/'; then
    echo "error: the sdist holds local files (above)" >&2
    exit 1
fi
echo "$(basename "$sdist"): $(tar -tzf "$sdist" | wc -l) files, $(($(stat -c %s "$sdist") / 1024)) KB"

# A newcomer's install from the unpacked sdist (a copy with nothing built):
# the wheel that `pip install .` builds, with pip's own build isolation;
# repaired, it must be the very wheel that was tested (same name, so same
# tag); installed with the extra [arrays] into a fresh environment, it must
# compute the same bits.
rm -rf "$VENVS/ecosystem-install"
install_python="$(make_venv ecosystem-install 3.12)"
step 600 "the wheel of pip install . from a clean copy of the sources" \
    bash -c 'source "$1/scripts/common.sh" && cd "$2" &&
             run_with_progress "pip wheel ." "$1/build/logs/pip-install.log" \
                 "$3" -m pip wheel -v --no-deps -w "$4" .' \
    _ "$ROOT" "$source_copy" "$install_python" "$WORK/from-sdist"
from_sdist="$(repair_wheel "$WORK"/from-sdist/kestrelfin-*.whl "$WORK/from-sdist-repaired")"
[ "$(basename "$from_sdist")" = "$(basename "$WHEEL")" ] ||
    { echo "error: the sdist gives $(basename "$from_sdist"), not $(basename "$WHEEL")" >&2; exit 1; }
step 300 "pip install kestrelfin[arrays] from that wheel" \
    "$install_python" -m pip install -q "$from_sdist[arrays]"
from_source="$(cd "$WORK" && "$install_python" -c "$FINGERPRINT")"
from_wheel="$(cd "$WORK" && "$python" -c "$FINGERPRINT")"
echo "from the sources: $from_source"
echo "from the wheel:   $from_wheel"
[ "$from_source" = "$from_wheel" ] || { echo "error: the two builds compute different results" >&2; exit 1; }
[ -f "$("$install_python" -c 'import importlib.util, pathlib; print(pathlib.Path(importlib.util.find_spec("_kestrelfin").origin).parent)')/_kestrelfin-stubs/__init__.pyi" ] \
    || { echo "error: pip install . did not install the stub package" >&2; exit 1; }
[ -f "$("$install_python" -c 'import importlib.util, pathlib; print(pathlib.Path(importlib.util.find_spec("kestrelfin").origin).parent)')/py.typed" ] \
    || { echo "error: pip install . did not install the typed package kestrelfin" >&2; exit 1; }

step 300 "mypy --strict on a user script with the installed stub" \
    "$python" "$ROOT/tests/typing/check_stub_with_mypy.py"
step 60 "the typed user script runs" "$python" "$ROOT/tests/typing/user_script.py"
step 60 "the typed user script of the package runs" "$python" "$ROOT/tests/typing/package_user_script.py"

step 600 "Dask: 10^7 options (arrays) and 2x10^6 (DataFrame) on two worker processes, bit for bit" \
    bash -c 'cd "$1/tests/python" && "$2" -m pytest -q -p no:cacheprovider test_dask.py' _ "$ROOT" "$python"

step 60 "example: quick start" "$python" "$ROOT/examples/quickstart.py" >"$WORK/quickstart.log"
tail -n 3 "$WORK/quickstart.log"
step 120 "example: option-chain workflow" "$python" "$ROOT/examples/chain_workflow.py" --output "$WORK/examples"
step 30 "the workflow's pictures" "$python" - "$WORK/examples" <<'EOF'
import struct, sys
from pathlib import Path
for name in ("smile.png", "greeks.png"):
    data = (Path(sys.argv[1]) / name).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", f"{name} is not a PNG"
    width, height = struct.unpack(">II", data[16:24])
    assert width >= 800 and height >= 500 and 20_000 < len(data) < 400_000, (name, width, height, len(data))
    print(f"{name}: {width} x {height}, {len(data) // 1024} KB")
EOF
step 120 "example: a pandas book in, DataFrames out" "$python" "$ROOT/examples/pandas_columns.py" >"$WORK/pandas.log"
tail -n 2 "$WORK/pandas.log"
# The example itself on a smaller book: the test above did the full 10^7.
step 300 "example: Dask with its progress bar" \
    "$python" "$ROOT/examples/dask_pricing.py" --options 2000000 --chunk 250000 >"$WORK/dask.log"
tr '\r' '\n' <"$WORK/dask.log" | grep -v '^\s*$' | tail -n 5
step 180 "accuracy report (into build/ecosystem/accuracy)" \
    "$python" "$ROOT/scripts/accuracy_report.py" --output "$WORK/accuracy"

log "ecosystem: all checks passed in $((SECONDS - stage_started)) s"
