#!/usr/bin/env bash
# The main job: builds and installs kestrelfin into a Python 3.12 environment
# and prices an option chain with it.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_system_packages
wheel="$(build_wheel)"
python="$(make_venv example 3.12 numpy)"
install_wheel "$python" "$wheel"
exec "$python" "$ROOT/examples/quickstart.py" "$@"
