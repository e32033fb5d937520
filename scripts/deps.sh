#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
# As root it runs apt-get; otherwise it prints the one command to run.
set -euo pipefail
packages=(
    g++ cmake ninja-build pkg-config make
    libgtest-dev libgmock-dev libbenchmark-dev clang
    qt6-base-dev qt6-base-dev-tools libgl-dev qt6-translations-l10n
    unixodbc unixodbc-dev libsqliteodbc odbc-postgresql postgresql odbc-mariadb mariadb-server
    libtomlplusplus-dev
    fonts-wqy-microhei poppler-utils dpkg-dev file lintian man-db
    gcovr
)
missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0
if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -q --no-install-recommends "${missing[@]}"
