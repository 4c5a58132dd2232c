#!/usr/bin/env bash
# The main job: builds and installs kestrelfin into a Python 3.12 environment,
# prices a small option chain (the quick start), then runs the option-chain
# workflow: implied volatilities and Greeks of a whole chain read from a CSV,
# a summary table, and smile.png and greeks.png in build/examples/ (arguments
# go to the workflow, e.g. --output DIR).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_system_packages
wheel="$(build_wheel)"
python="$(make_venv example 3.12 numpy pandas matplotlib)"
install_wheel "$python" "$wheel"
"$python" "$ROOT/examples/quickstart.py"
log "option-chain workflow"
exec "$python" "$ROOT/examples/chain_workflow.py" "$@"
