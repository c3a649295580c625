#!/usr/bin/env bash
# Set-up (scripts/setup.sh), then the release road on the development update server.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/python devkit/release_road.py "$@"
