#!/usr/bin/env bash
# Runs the blob reader fuzz target for a bounded time (seconds, default 60); see run_fuzz.sh.
set -euo pipefail
exec "$(dirname "${BASH_SOURCE[0]}")/run_fuzz.sh" blob_reader_fuzz "${1:-60}"
