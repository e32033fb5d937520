#!/usr/bin/env bash
# Opens the tool of the build folder on the demo workspace, which kestrel-host --demo makes on
# first use, outside the source tree: ${KESTREL_DEMO_DIR:-${XDG_DATA_HOME:-~/.local/share}/kestrel-demo}.
set -euo pipefail
build=${1:-build}
exec "$build/bin/kestrel-host" --demo
