#!/usr/bin/env bash
# Runs every benchmark; each compares Tintguard against a reference measured in the same run.
set -euo pipefail
cd "$(dirname "$0")"
for script in */run.sh; do
  echo "== ${script%/run.sh}"
  bash "$script"
done
