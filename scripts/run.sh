#!/usr/bin/env bash
# run.sh: builds the package and boots the simulated handheld (kxsim run).
# Arguments are passed to kxsim run (see "kxsim run --help").
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
exec build/bin/kxsim run "$@"
