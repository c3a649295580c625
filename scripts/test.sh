#!/usr/bin/env bash
# Set-up (scripts/setup.sh), then every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/python -m pytest -q tests "$@"
