#!/usr/bin/env bash
# Builds the Debian package of this build folder, has lintian judge it, unpacks it into a
# temporary root and runs the unpacked programs from there: the install layout, the links and
# $ORIGIN as a user gets them, and the demo an installed user makes.
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

# Every error and warning fails; informational notes are shown for the reader.
lintian --display-info --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 || {
    cat "$work/lintian.log" >&2
    fail "lintian"
}
cat "$work/lintian.log"

root="$work/root"
dpkg-deb -x "$deb" "$root"
for file in usr/lib/kestrel/libkestrel.so usr/lib/kestrel/libformatprn.so usr/lib/kestrel/kestrel-module-runner \
            usr/lib/kestrel/KSTPRN.FMT usr/include/kestrel/ModuleFunction.h usr/share/doc/kestrel/README.md \
            usr/share/doc/kestrel/examples/SampleModule.c usr/share/man/man1/kestrel-tool.1.gz \
            usr/share/man/man1/kestrel-host.1.gz usr/share/doc/kestrel/copyright usr/lib/kestrel/kestrel-make-demo \
            usr/lib/kestrel/libsample_module.so \
            usr/share/applications/kestrel-host.desktop usr/share/icons/hicolor/scalable/apps/kestrel-host.svg; do
    [[ -e "$root/$file" ]] || fail "missing $file"
done
[[ "$(readlink "$root/usr/lib/kestrel/kestrel.usr")" == /var/lib/kestrel/kestrel.usr ]] ||
    fail "kestrel.usr does not lead to /var/lib/kestrel"
grep -qx 'Name\[zh_CN\]=模块定义工具' "$root/usr/share/applications/kestrel-host.desktop" || fail "desktop entry name"

# A terminal without the Chinese glyphs must still get the pages without a complaint.
for page in kestrel-host kestrel-tool; do
    warnings=$(LC_ALL=C MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
    [[ -z "$warnings" ]] || fail "man $page: $warnings"
done
# A new version without a changelog entry would ship the old entry under the new number.
zcat "$root/usr/share/doc/kestrel/changelog.gz" | head -1 | grep -q "^kestrel ($version) " ||
    fail "the changelog's last entry is not version $version"

# From the links on PATH, as a user starts them: nothing of the build folder may be needed.
out=$("$root/usr/bin/kestrel-tool" show "$module") || fail "kestrel-tool show: $out"
grep -q '"kind":"module"' <<<"$out" || fail "kestrel-tool show printed: $out"
"$root/usr/bin/kestrel-tool" --version | grep -qx "kestrel-tool $version" || fail "kestrel-tool --version"
"$root/usr/bin/kestrel-host" --version | grep -qx "kestrel-host $version" || fail "kestrel-host --version"
"$root/usr/bin/kestrel-host" --help | grep -q -- '--library' || fail "kestrel-host --help"
if ldd "$root/usr/lib/kestrel/kestrel-tool" "$root/usr/lib/kestrel/libkestrel.so" | grep -q "$build"; then
    fail "an unpacked program still links from the build folder"
fi

# The demo as an installed user makes it: a plug-in that cannot be loaded stops the host after
# the workspace is made and before any window. Settings and workspace stay in the temp folder.
demo="$work/demo"
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" KESTREL_DEMO_DIR="$demo" QT_QPA_PLATFORM=offscreen
status=0
out=$("$root/usr/bin/kestrel-host" --demo --library "$work/none.so" 2>&1) || status=$?
[[ $status -eq 1 && -f "$demo/demo.MGP" && -f "$demo/audit.db" ]] || fail "kestrel-host --demo ($status): $out"
[[ "$(readlink "$demo/libsample_module.so")" == "$root/usr/lib/kestrel/libsample_module.so" ]] ||
    fail "the demo's sample module is not linked: $(ls -l "$demo")"
grep -q "LASTFILE" "$XDG_CONFIG_HOME/KESTREL.INI" || fail "the demo catalogue is not the last file"
# The demo's modules run with the installed runner and sample module; some are made to fail.
status=0
out=$("$root/usr/bin/kestrel-tool" check "$demo/demo.MGP" --connect "Driver=SQLite3;Database=$demo/audit.db" 2>&1) ||
    status=$?
[[ $status -eq 1 ]] || fail "kestrel-tool check of the demo ($status): $out"
grep -Eq '^CG001\.kst +CG +PASS' <<<"$out" || fail "the demo's DLL module did not pass: $out"
grep -Eq '^xs001\.kst +XS +PASS' <<<"$out" || fail "the demo's SQL module did not pass: $out"
# A folder that cannot be made stops the host with the reason, before any window.
status=0
out=$(KESTREL_DEMO_DIR="$root/usr/share/doc/kestrel/copyright/demo" "$root/usr/bin/kestrel-host" --demo 2>&1) ||
    status=$?
[[ $status -eq 1 ]] && grep -q "kestrel-make-demo: .*copyright/demo: Not a directory" <<<"$out" ||
    fail "kestrel-host --demo in a folder that cannot be made ($status): $out"
# A second start keeps the workspace the user changed.
touch -d '2000-01-01' "$demo/demo.MGP"
"$root/usr/bin/kestrel-host" --demo --library "$work/none.so" >/dev/null 2>&1 || true
[[ "$(stat -c %Y "$demo/demo.MGP")" == "$(date -d '2000-01-01' +%s)" ]] || fail "kestrel-host --demo made the demo anew"

# Who may read the user table, as root in the temporary root: the postinst of an upgrade from a
# package that left the folder and the table readable by everyone, then the helper as nobody.
# Machine-wide one at a time: the group "kestrel" is the machine's, made here when missing, as
# the postinst makes it, and removed again only by the run that made it.
[[ $(id -u) -eq 0 ]] || { echo "package: not root, the table's modes are not checked"; exit 0; }
exec 9>"${TMPDIR:-/tmp}/kestrel-package-test.lock"
flock 9
made_group=
if ! getent group kestrel >/dev/null; then
    addgroup --system kestrel >/dev/null
    made_group=yes
fi
trap 'rm -rf "$work"; [[ -z "$made_group" ]] || groupdel kestrel' EXIT
helper=usr/lib/kestrel/kestrel-account
[[ "$(stat -c %a:%U:%G "$root/$helper")" == 755:root:root ]] || fail "kestrel-account in the package: $(stat -c %a:%U:%G "$root/$helper")"
state="$root/var/lib/kestrel"
mkdir -p "$state" "$root/var/lib/dpkg"
touch "$root/var/lib/dpkg/statoverride"
chown root:kestrel "$state"
chmod 2775 "$state"
# A table a member saved with the old package: SA's password "root pw", li's "1".
printf '\002\000\000\000\323\301' >"$state/kestrel.usr"
head -c 9 /dev/zero >>"$state/kestrel.usr"
printf '\362\357\357\364\240\360\367' >>"$state/kestrel.usr"
head -c 14 /dev/zero >>"$state/kestrel.usr"
printf '\354\351' >>"$state/kestrel.usr"
head -c 9 /dev/zero >>"$state/kestrel.usr"
printf '\261' >>"$state/kestrel.usr"
head -c 20 /dev/zero >>"$state/kestrel.usr"
chown nobody:kestrel "$state/kestrel.usr"
chmod 0644 "$state/kestrel.usr"
cp -p "$state/kestrel.usr" "$state/kestrel.usr.bak"
[[ $(stat -c %s "$state/kestrel.usr") -eq 68 ]] || fail "the old table is $(stat -c %s "$state/kestrel.usr") bytes"
dpkg-deb -e "$deb" "$work/control"
DPKG_ROOT="$root" sh "$work/control/postinst" configure 0.1 || fail "postinst configure"
for file in var/lib/kestrel:2770:root:kestrel var/lib/kestrel/kestrel.usr:660:root:kestrel \
            var/lib/kestrel/kestrel.usr.bak:660:root:kestrel $helper:2755:root:kestrel; do
    path=${file%%:*}
    [[ "$(stat -c %a:%U:%G "$root/$path")" == "${file#*:}" ]] ||
        fail "after the upgrade $path is $(stat -c %a:%U:%G "$root/$path"), not ${file#*:}"
done
grep -q "root kestrel 2755 /$helper" "$root/var/lib/dpkg/statoverride" || fail "no statoverride for the helper"
# The installed link leads to the machine's /var/lib/kestrel; here it leads into the temporary root.
ln -sfn "$state/kestrel.usr" "$root/usr/lib/kestrel/kestrel.usr"
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"; }
chmod 0755 "$work"
if as_nobody cat "$root/usr/lib/kestrel/kestrel.usr" >/dev/null 2>&1; then
    fail "nobody can read the table after the upgrade"
fi
status=0
printf 'root pw\n' | as_nobody "$root/$helper" check sa || status=$?
[[ $status -eq 0 ]] || fail "kestrel-account check with SA's password as nobody: $status"
status=0
printf 'Root pw\n' | as_nobody "$root/$helper" check SA 2>&1 || status=$?
[[ $status -eq 1 ]] || fail "kestrel-account check with a wrong password as nobody: $status"
status=0
out=$(printf '1\n' | as_nobody "$root/$helper" read) || status=$?
[[ $status -eq 1 && -z "$out" ]] || fail "kestrel-account read without SA's password: $status"
cmp -s <(printf 'root pw\n' | as_nobody "$root/$helper" read) "$state/kestrel.usr" ||
    fail "kestrel-account read with SA's password"
{ printf 'root pw\n'; cat "$state/kestrel.usr.bak"; } | as_nobody "$root/$helper" write ||
    fail "kestrel-account write with SA's password"
[[ "$(stat -c %a:%G "$state/kestrel.usr")" == 660:kestrel ]] || fail "a save through the helper: $(stat -c %a:%G "$state/kestrel.usr")"
# Without its override it is no set-group-ID program, and reads nothing.
chmod 0755 "$root/$helper"
status=0
printf 'root pw\n' | as_nobody "$root/$helper" check SA 2>/dev/null || status=$?
[[ $status -eq 2 ]] || fail "kestrel-account without its set-group-ID bit: $status"
DPKG_ROOT="$root" sh "$work/control/postrm" purge || fail "postrm purge"
[[ ! -e "$state" ]] || fail "purge left $state"
! grep -q kestrel-account "$root/var/lib/dpkg/statoverride" || fail "purge left the helper's override"

echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
