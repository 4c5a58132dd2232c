#!/usr/bin/env bash
# Builds the reference site (docs/, Sphinx) from the installed wheel's own
# docstrings and stubs, with every warning an error, into build/docs/html,
# then runs every example of the site (the guide's and the docstrings' shown
# on the API pages) as doctests. The wheel is WHEEL when set (the one
# scripts/test.sh built), or a fresh build_wheel otherwise:
#   bash scripts/build-docs.sh
#   WHEEL=build/dist/kestrelfin-0.2.0-cp312-abi3-linux_x86_64.whl bash scripts/build-docs.sh
# Open build/docs/html/index.html in a browser to read it.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

if [ -n "${WHEEL:-}" ]; then
    wheel="$WHEEL"
else
    ensure_system_packages
    wheel="$(build_wheel)"
fi
python="$(make_venv docs 3.12 -r "$ROOT/requirements/docs.txt" 'numpy>=2')"
install_wheel "$python" "$wheel"

out="$ROOT/build/docs"
rm -rf "$out"
# Run from outside the source tree so that the installed package, with its
# generated docstrings and stubs, is what Sphinx imports.
mkdir -p "$out" && cd "$out"
log "site: sphinx-build -b html (warnings are errors)"
"$python" -m sphinx -W --keep-going -q -b html -d "$out/doctrees" "$ROOT/docs" "$out/html"
log "site: the examples as doctests"
"$python" -m sphinx -W --keep-going -q -b doctest -d "$out/doctrees" "$ROOT/docs" "$out/doctest"
tail -n 6 "$out/doctest/output.txt"
log "site built: $out/html/index.html"
