#!/bin/sh
# Builds the Debian package from the working tree into <outdir> and checks it:
# scripts/package.sh <outdir>. The build runs in a private copy, so the tree stays clean.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out" "$work/src"
cd "$top"
git ls-files -z --cached --others --exclude-standard | xargs -0 tar -cf - | tar -xf - -C "$work/src"
echo "== dpkg-buildpackage"
(cd "$work/src" && dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1) || {
  tail -n 60 "$work/build.log"
  exit 1
}
cp "$work"/vrk-sched_*.deb "$out"/
deb=$(ls "$work"/vrk-sched_*.deb)
echo "== lintian"
# Errors and warnings fail; informational tags are shown.
lintian --fail-on error,warning --info "$deb"
echo "== systemd-analyze verify"
root=$work/root
dpkg-deb -x "$deb" "$root"
# The unit names /usr/sbin/vrk_sched and man pages that exist only in the package's files:
# verify a copy that points into them, against this system's units and tools.
sed "s#=/usr/sbin/#=$root/usr/sbin/#" "$(find "$root" -name vrk-sched.service)" >"$work/vrk-sched.service"
MANPATH=$root/usr/share/man systemd-analyze verify "$work/vrk-sched.service"
echo "== package built: $(ls "$out"/vrk-sched_*.deb)"
