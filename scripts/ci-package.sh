#!/usr/bin/env bash
# CI: Vellomar as a user of the Debian package meets it. Builds the .deb,
# prints its size, its Depends line and lintian's findings (errors fail),
# installs it with apt-get, renders every manual page with warnings checked,
# verifies the user service, then, in a network namespace of its own (so
# nothing else on port 8000 matters): runs vellomar-setup in a temporary
# machine folder, sends one request that the rules block and one they
# forward through 127.0.0.1:8000, and, where a systemd user manager can run,
# starts, restarts and stops vellomar.service. Finally purges the package and
# checks that none of its files is left.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/vellomar-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "ci-package: $*" >&2
  exit 1
}

deb=$("$top/scripts/package.sh" | tail -n 1)
echo "--- $(basename "$deb"): $(stat -c %s "$deb") bytes," \
  "installed size $(dpkg-deb -f "$deb" Installed-Size) KiB"
echo "Depends: $(dpkg-deb -f "$deb" Depends)"
echo "--- lintian"
lintian --fail-on error --display-level '>=pedantic' "$deb" || fail "lintian found errors"

echo "--- install"
(cd "$(dirname "$deb")" && DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
  --no-install-recommends -o DPkg::Lock::Timeout=600 "./$(basename "$deb")")
dpkg -L vellomar >"$work/files"

echo "--- manual pages"
while read -r program; do
  grep -qx "/usr/share/man/man1/$(basename "$program").1.gz" "$work/files" ||
    fail "$program has no manual page"
done < <(grep '^/usr/bin/' "$work/files")
while read -r page; do
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
    man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [[ -z "$warnings" ]] || fail "$page: $warnings"
  echo "$page: no warnings"
done < <(grep '^/usr/share/man/.*\.gz$' "$work/files")

echo "--- systemd-analyze --user verify"
unit=/usr/lib/systemd/user/vellomar.service
mkdir -m 0700 "$work/runtime"
verify=$(XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$work/runtime}" \
  systemd-analyze --user verify "$unit" 2>&1) || fail "$unit: $verify"
[[ -z "$verify" ]] || fail "$unit: $verify"
echo "$unit: clean"

echo "--- in a network namespace of its own"
unshare --net --mount "$top/scripts/package-try.sh" "$work"

echo "--- purge"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q -o DPkg::Lock::Timeout=600 vellomar
left=0
while read -r path; do
  [[ -e "$path" || -L "$path" ]] || continue
  # Folders such as /usr/bin stay for the packages and files that share them.
  if [[ -d "$path" && ! -L "$path" ]]; then
    [[ "$path" == /. ]] && continue
    dpkg-query -S "$path" >/dev/null 2>&1 && continue
    [[ -n "$(ls -A "$path")" ]] && continue
  fi
  echo "left behind: $path" >&2
  left=1
done <"$work/files"
((left == 0)) || fail "the purged package left files behind"
echo "purged: none of its $(wc -l <"$work/files") paths is left"
