#!/usr/bin/env bash
# Opens the tool on a demo workspace. The workspace is made on first use, outside the source
# tree: ${KESTREL_DEMO_DIR:-${XDG_DATA_HOME:-~/.local/share}/kestrel-demo}.
set -euo pipefail
build=${1:-build}
bin="$(cd "$build/bin" && pwd)"
demo="${KESTREL_DEMO_DIR:-${XDG_DATA_HOME:-$HOME/.local/share}/kestrel-demo}"

if [[ ! -f "$demo/demo.MGP" ]]; then
    echo "Creating the demo workspace in $demo"
    mkdir -p "$demo"
    "$bin/kestrel-make-demo" "$demo"
fi
if [[ ! -f "$demo/audit.db" ]]; then
    # The audit database of the SQL modules' tests, with the error table they report into.
    python3 - "$demo/audit.db" <<'PY'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.execute("CREATE TABLE IF NOT EXISTS KSTError(UserID INTEGER, ErrorCode INTEGER, ErrorMsg TEXT)")
db.commit()
db.close()
PY
fi
# The DLL modules name ./libsample_module.so: the test runs in the module folder.
if [[ -f "$bin/libsample_module.so" ]]; then
    ln -sf "$bin/libsample_module.so" "$demo/libsample_module.so"
fi

echo "Demo catalogue: $demo/demo.MGP   audit database: $demo/audit.db"
echo "Log in as SA with the password: tide oak plum"
exec "$bin/kestrel-host"
