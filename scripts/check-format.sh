#!/usr/bin/env bash
# Checks that every C++ and C source of the repository is laid out as
# .clang-format says (clang-format 14, Debian's). Prints the files that are
# not and exits non-zero. To fix them: the same files through clang-format -i.
# core/libm_exp_log_data.hpp is written by scripts/libm_exp_log_tables.py and
# left as that script writes it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mapfile -t sources < <(git ls-files '*.cpp' '*.hpp' '*.h' '*.c' | grep -v '^core/libm_exp_log_data\.hpp$')
unformatted=()
for source in "${sources[@]}"; do
    if ! clang-format --style=file --dry-run --Werror "$source" >/dev/null 2>&1; then
        unformatted+=("$source")
    fi
done
if [ "${#unformatted[@]}" -gt 0 ]; then
    printf 'not formatted as .clang-format says (clang-format -i fixes them):\n' >&2
    printf '  %s\n' "${unformatted[@]}" >&2
    exit 1
fi
echo "${#sources[@]} C and C++ sources formatted as .clang-format says"
