#!/usr/bin/env bash
# Sets up and builds the project, then runs the demo.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
"${COMMON_DTO_BUILD_DIR:-$root/build}/demo/common-dto-demo"
