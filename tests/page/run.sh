#!/usr/bin/env bash
# Runs the page tests: installs playwright-core from the lock file on first
# use (into node_modules here, git-ignored), then Node's test runner.
set -euo pipefail
cd "$(dirname "$0")"
if [ ! -d node_modules/playwright-core ]; then
  npm ci --no-audit --no-fund
fi
exec node --test
