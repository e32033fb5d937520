#!/usr/bin/env bash
# Builds the Debian package of this build folder, unpacks it into a temporary root and runs the
# unpacked programs from there: the install layout, the links and $ORIGIN as a user gets them.
# Arguments: the build folder, a module file, the version.
set -euo pipefail
build=$1
module=$2
version=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || {
    cat "$work/cpack.log" >&2
    fail "cpack"
}
deb="$work/out/kestrel_${version}_amd64.deb"
[[ -f "$deb" ]] || fail "no $(basename "$deb") in: $(ls "$work/out")"

control=$(dpkg-deb -f "$deb")
for needed in libqt6widgets6 libqt6printsupport6 libodbc fonts-wqy-microhei qt6-qpa-plugins; do
    grep -q "^Depends:.*$needed" <<<"$control" || fail "Depends lacks $needed: $control"
done
grep -q '^Recommends:.*libsqliteodbc' <<<"$control" || fail "Recommends lacks libsqliteodbc"
grep -q '^Suggests:.*odbc-mariadb' <<<"$control" || fail "Suggests lacks odbc-mariadb"

root="$work/root"
dpkg-deb -x "$deb" "$root"
for file in usr/lib/kestrel/libkestrel.so usr/lib/kestrel/libformatprn.so usr/lib/kestrel/kestrel-module-runner \
            usr/lib/kestrel/KSTPRN.FMT usr/include/kestrel/ModuleFunction.h usr/share/doc/kestrel/README.md \
            usr/share/doc/kestrel/examples/SampleModule.c usr/share/man/man1/kestrel-tool.1.gz \
            usr/share/applications/kestrel-host.desktop usr/share/icons/hicolor/scalable/apps/kestrel-host.svg; do
    [[ -e "$root/$file" ]] || fail "missing $file"
done
[[ "$(readlink "$root/usr/lib/kestrel/kestrel.usr")" == /var/lib/kestrel/kestrel.usr ]] ||
    fail "kestrel.usr does not lead to /var/lib/kestrel"
grep -qx 'Name\[zh_CN\]=模块定义工具' "$root/usr/share/applications/kestrel-host.desktop" || fail "desktop entry name"

# From the links on PATH, as a user starts them: nothing of the build folder may be needed.
out=$("$root/usr/bin/kestrel-tool" show "$module") || fail "kestrel-tool show: $out"
grep -q '"kind":"module"' <<<"$out" || fail "kestrel-tool show printed: $out"
"$root/usr/bin/kestrel-tool" --version | grep -qx "kestrel-tool $version" || fail "kestrel-tool --version"
"$root/usr/bin/kestrel-host" --version | grep -qx "kestrel-host $version" || fail "kestrel-host --version"
"$root/usr/bin/kestrel-host" --help | grep -q -- '--library' || fail "kestrel-host --help"
if ldd "$root/usr/lib/kestrel/kestrel-tool" "$root/usr/lib/kestrel/libkestrel.so" | grep -q "$build"; then
    fail "an unpacked program still links from the build folder"
fi
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
