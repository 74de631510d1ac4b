#!/usr/bin/env bash
# Installs what is missing, builds, and starts TORVELIN RECOVERY.
# Arguments go to the application (for example --demo, or --volumes DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
scripts/build.sh
exec "${BUILD_DIR:-build}/bin/torvelin-recovery" "$@"
