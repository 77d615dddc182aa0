#!/usr/bin/env bash
# Builds the Debian package with scripts/package.sh and checks what a user gets:
# the files, the control fields (OpenSSL recommended, never a hard dependency,
# since it is opened with dlopen), the program running from an unpacked copy, and
# the systemd user units in doc/ as systemd-analyze reads them.
#
#   check-package.sh [BUILD_DIR]   default build-package
set -euo pipefail
cd "$(dirname "$0")/../.."

fail() { echo "check-package: $*" >&2; exit 1; }
# A missing tool fails the check with the Debian package that brings it.
need() { command -v "$1" >/dev/null || fail "$1 is missing: install the Debian package $2"; }

# package.sh installs what building needs; the checks need these too.
deb=$(scripts/package.sh "$@")
need dpkg-deb dpkg
need apt-get apt
need readelf binutils
need gzip gzip
need systemd-analyze systemd
echo "check-package: $deb"
[ -f "$deb" ] || fail "scripts/package.sh printed no package file"
[ "$(basename "$deb")" = "quorrel_1.0_$(dpkg --print-architecture).deb" ] || fail "unexpected file name $deb"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Contents.
dpkg-deb -c "$deb" | awk '{print $1, $NF}' > "$work/contents"
grep -qx -- '-rwxr-xr-x ./usr/bin/quorrel' "$work/contents" || fail "no executable usr/bin/quorrel in $(cat "$work/contents")"
grep -qx -- '-rw-r--r-- ./usr/share/man/man1/quorrel.1.gz' "$work/contents" ||
  fail "no manual page usr/share/man/man1/quorrel.1.gz in $(cat "$work/contents")"

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
expect_field() { [ "$(field "$1")" = "$2" ] || fail "$1 is '$(field "$1")', expected '$2'"; }
expect_field Package quorrel
expect_field Version 1.0
expect_field Section mail
expect_field Architecture "$(dpkg --print-architecture)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer field"
[ "$(field Description | wc -l)" -ge 2 ] || fail "the Description has no long paragraph"
# The package names of a relation field, one a line, without versions.
names() { field "$1" | tr ',|' '\n\n' | awk 'NF {print $1}'; }
depends=$(names Depends)
recommends=$(names Recommends)
for p in libc6 libstdc++6 libgcc-s1 libicu72 libre2-9; do
  grep -qxF "$p" <<<"$depends" || fail "Depends lacks $p: $(field Depends)"
done
if grep -q ssl <<<"$depends"; then fail "OpenSSL must be recommended only, Depends has it: $(field Depends)"; fi
grep -qxF libssl3 <<<"$recommends" || fail "Recommends lacks libssl3: $(field Recommends)"
# The dependencies must be satisfiable on this system (simulation only).
apt-get -s -qq install "$deb" >/dev/null || fail "apt cannot install $deb here"

# Unpacked into a throw-away root, the program runs from there and links no
# OpenSSL library.
dpkg -x "$deb" "$work/root"
quorrel=$work/root/usr/bin/quorrel
needed=$(readelf -d "$quorrel" | grep NEEDED) || fail "readelf shows no libraries the program needs"
if grep -Eq 'lib(ssl|crypto)' <<<"$needed"; then fail "the program is linked to OpenSSL: $needed"; fi
version=$("$quorrel" --version)
version=${version%%$'\n'*}
version=${version%$'\r'}  # the program ends its lines with CR LF
[ "$version" = "Quorrel version 1.0 https://quorrel.example.org" ] || fail "--version said: $version"
gzip -dc "$work/root/usr/share/man/man1/quorrel.1.gz" | cmp -s - doc/quorrel.1 ||
  fail "the packed manual page differs from doc/quorrel.1"

# The systemd units as shipped, but with the unpacked program in ExecStart, since
# verify wants the command to exist. Warnings leave its status at 0, so any
# output fails too.
mkdir "$work/units" "$work/run"
chmod 700 "$work/run"
grep -q '^ExecStart=/usr/bin/quorrel ' doc/quorrel.service || fail "doc/quorrel.service does not run /usr/bin/quorrel"
sed "s|^ExecStart=/usr/bin/quorrel |ExecStart=$quorrel |" doc/quorrel.service > "$work/units/quorrel.service"
cp doc/quorrel.timer "$work/units/"
verify=$(XDG_RUNTIME_DIR=$work/run systemd-analyze --user --man=no verify \
  "$work/units/quorrel.service" "$work/units/quorrel.timer" 2>&1) || fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"
# Every option the service passes must still be one the program knows.
exec_start=$(sed -n 's/^ExecStart=//p' doc/quorrel.service)
help=$("$quorrel" --help)
for option in $(grep -o -- ' --[a-z-]*' <<<"$exec_start"); do
  grep -q -- "^  $option " <<<"$help" || fail "doc/quorrel.service passes $option, which --help does not list"
done
# The mailboxes and their passwords come from the accounts file, never from
# the unit itself.
grep -q -- '--all' <<<"$exec_start" || fail "doc/quorrel.service must sweep the accounts file (--all): $exec_start"
if grep -Eq -- '--password-command|--all .* [^-][^ ]*$' <<<"$exec_start"; then
  fail "doc/quorrel.service must name no mailbox and no password: $exec_start"
fi

echo "check-package: $(basename "$deb") holds the program and its manual page, declares its dependencies, runs unpacked; the units verify"
