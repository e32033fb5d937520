#!/usr/bin/env bash
# Opens the tool on a demo workspace. The workspace is made on first use, outside the source
# tree: ${KESTREL_DEMO_DIR:-${XDG_DATA_HOME:-~/.local/share}/kestrel-demo}.
set -euo pipefail
build=${1:-build}
bin="$(cd "$build/bin" && pwd)"
demo="${KESTREL_DEMO_DIR:-${XDG_DATA_HOME:-$HOME/.local/share}/kestrel-demo}"

if [[ ! -f "$demo/demo.MGP" || ! -f "$demo/audit.db" ]]; then
    echo "Creating the demo workspace in $demo"
    mkdir -p "$demo"
    "$bin/kestrel-make-demo" "$demo"
fi
# The DLL modules name ./libsample_module.so: the test runs in the module folder.
if [[ -f "$bin/libsample_module.so" ]]; then
    ln -sf "$bin/libsample_module.so" "$demo/libsample_module.so"
fi

echo "Demo catalogue: $demo/demo.MGP   audit database: $demo/audit.db"
echo "Log in as SA with the password: tide oak plum"
exec "$bin/kestrel-host"
