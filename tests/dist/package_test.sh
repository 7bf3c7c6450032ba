#!/usr/bin/env bash
# package_test.sh BUILD_DIR: the .deb installs into a scratch root, its
# programs run from there, and removing it (then purging it) leaves nothing
# behind; cmake --install to another prefix points the unit at that prefix.
set -euo pipefail
# (Pipelines end in a grep that reads all its input, never grep -q: with
# pipefail, a writer cut off early would fail the check.)
BUILD=$1
[ "$(id -u)" -eq 0 ] || { echo "skipped: dpkg --root needs root"; exit 77; }
for t in cpack dpkg dpkg-deb; do command -v $t >/dev/null || { echo "skipped: no $t"; exit 77; }; done

W=$(mktemp -d /tmp/quilo-deb.XXXXXX)
trap 'rm -rf "$W"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$BUILD/CPackConfig.cmake" -B "$W/pkg" >"$W/cpack.log" 2>&1 || { cat "$W/cpack.log"; fail "cpack"; }
deb=$(ls "$W"/pkg/quilo_*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$W/contents"
for f in /usr/bin/quilo-router /usr/bin/sockbridge /usr/bin/quilo-supervisor /usr/bin/quilo-stats /usr/share/quilo/conf/appliance.click \
         /usr/lib/systemd/system/quilo-appliance@.service /usr/libexec/quilo/quilo-appliance /etc/quilo/appliance.env; do
  grep -qx "$f" "$W/contents" || fail "$f not in the package"
done
grep -q '/libquilo.so$' "$W/contents" || fail "libquilo.so not in the package"
# Nothing to run at install or removal (the libraries are private).
dpkg-deb -I "$deb" | grep -E 'postinst|prerm|postrm|preinst' >/dev/null && fail "maintainer scripts in the package"
dpkg-deb -f "$deb" Depends | grep libevent >/dev/null || fail "no library dependencies"

R=$W/root
mkdir -p "$R/var/lib/dpkg/info" "$R/var/lib/dpkg/updates"
: >"$R/var/lib/dpkg/status"
# The scratch root has no libc package: dependencies are the host's.
dpkg --root="$R" --force-depends -i "$deb" >"$W/dpkg.log" 2>&1 || { cat "$W/dpkg.log"; fail "dpkg -i"; }
dpkg --root="$R" -s quilo | grep '^Status: install ok installed' >/dev/null || fail "not installed"
# The programs run from where they landed and find their libraries there.
env -u QUILO_PACKAGE_PATH "$R/usr/bin/quilo-router" -q \
  -e 'require(package "quilo"); WConf(MAX_PEERS 1); Idle -> Counter -> Discard;' || fail "installed quilo-router"
ldd "$R/usr/bin/quilo-router" | grep libquilohost | grep "$R" >/dev/null || fail "quilo-router does not use its own libquilohost"
usage=$("$R/usr/bin/quilo-stats" --help) || fail "quilo-stats --help exits $?"
grep -q '^Usage: quilo-stats' <<<"$usage" || fail "quilo-stats --help"
unit=$R/usr/lib/systemd/system/quilo-appliance@.service
grep -qx 'EnvironmentFile=/etc/quilo/%i.env' "$unit" || fail "unit settings file"
grep -qx 'ExecStart=/usr/libexec/quilo/quilo-appliance %i' "$unit" || fail "unit ExecStart"
sh -n "$R/usr/libexec/quilo/quilo-appliance" || fail "launcher syntax"
grep -q '^LAN_DEV=' "$R/etc/quilo/appliance.env" || fail "settings template"

# Removal keeps the edited settings (a configuration file), purging drops them.
echo "# edited" >>"$R/etc/quilo/appliance.env"
dpkg --root="$R" -r quilo >"$W/dpkg.log" 2>&1 || { cat "$W/dpkg.log"; fail "dpkg -r"; }
left=$(cd "$R" && find . -path ./var -prune -o -type f -print)
[ "$left" = "./etc/quilo/appliance.env" ] || fail "after dpkg -r: $left"
dpkg --root="$R" -P quilo >"$W/dpkg.log" 2>&1 || { cat "$W/dpkg.log"; fail "dpkg -P"; }
left=$(cd "$R" && find . -path ./var -prune -o -print | grep -vx '\.' || true)
[ -z "$left" ] || fail "after dpkg -P: $left"

# Another prefix: the unit and its launcher name it, settings in PREFIX/etc/quilo.
P=$W/opt/quilo
cmake --install "$BUILD" --prefix "$P" >"$W/install.log" 2>&1 || { cat "$W/install.log"; fail "cmake --install"; }
grep -qx "EnvironmentFile=$P/etc/quilo/%i.env" "$P/lib/systemd/system/quilo-appliance@.service" || fail "prefix unit"
[ -f "$P/etc/quilo/appliance.env" ] || fail "prefix settings"
grep -q "^bindir=$P/bin$" "$P/libexec/quilo/quilo-appliance" || fail "prefix launcher"
"$P/bin/quilo-router" -q -e 'require(package "quilo"); WConf(MAX_PEERS 1); Idle -> Counter -> Discard;' ||
  fail "quilo-router under $P"
echo "package test passed"
