#!/usr/bin/env bash
# The Debian packages from end to end: build them (lintian included), install
# both with dpkg, migrate the sample data set with the installed command as an
# unprivileged user who has no home and no Firebird server of their own, look
# for the menu entry and the manual pages, and remove it again. Afterwards
# nothing the package installed may remain.
#   package_test.sh SOURCE_DIR GEN_SAMPLE
# Exit 77 (skipped) unless run as root on a machine where the package is not
# installed already.
set -euo pipefail
SRC=$(cd "${1:?usage: package_test.sh SOURCE_DIR GEN_SAMPLE}" && pwd)
GEN=${2:?usage: package_test.sh SOURCE_DIR GEN_SAMPLE}
PKG=quorvel-migrate
CLI_PKG=quorvel-migrate-cli
RUNNER=nobody

if [[ $(id -u) -ne 0 ]]; then
  echo "SKIPPED: installing a package needs root"
  exit 77
fi
for p in "$PKG" "$CLI_PKG"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  if [[ -n "$status" && "$status" != not-installed ]]; then
    echo "SKIPPED: $p is on this machine already ($status); it is left alone"
    exit 77
  fi
done

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

work=$(mktemp -d)
chmod 711 "$work"
installed=0
# The engine folders the runs leave in /tmp go as well.
runner_tmp() { find /tmp -mindepth 1 -maxdepth 1 -user "$RUNNER" | sort; }
runner_tmp >"$work/tmp-before"
cleanup() {
  ((installed)) && dpkg --purge "$PKG" "$CLI_PKG" >/dev/null
  runner_tmp | comm -13 "$work/tmp-before" - | xargs -r rm -rf --
  rm -rf "$work"
}
trap cleanup EXIT

start=$SECONDS
"$SRC/run.sh" package
debs=("$SRC"/build-package/*.deb)
((${#debs[@]} == 2)) || fail "two packages expected, found: ${debs[*]}"
echo "== packages built and checked in $((SECONDS - start)) s"
cli_deb=$(echo "$SRC"/build-package/${CLI_PKG}_*.deb)
# The command's package brings no graphical library.
if dpkg-deb -f "$cli_deb" Depends | grep -qi 'qt'; then fail "$CLI_PKG depends on Qt: $(dpkg-deb -f "$cli_deb" Depends)"; fi
dpkg-deb -f "$SRC"/build-package/${PKG}_*.deb Depends | grep -q "$CLI_PKG (= " || fail "$PKG does not depend on $CLI_PKG"

# What of the package's paths is there before it (shared folders like /usr).
declare -A existed
while read -r path; do
  [[ -e "$path" || -L "$path" ]] && existed[$path]=1
done < <(for deb in "${debs[@]}"; do dpkg-deb --fsys-tarfile "$deb" | tar -t; done | sed -e 's|^\./|/|' -e 's|/$||' -e '/^$/d')

# Images made for containers often keep dpkg from unpacking manual pages and
# documents; this package's own are let through.
installed=1
dpkg --path-include="/usr/share/man/man1/$PKG*" --path-include="/usr/share/doc/$PKG*" -i "${debs[@]}"
mapfile -t listed < <(dpkg -L "$PKG" "$CLI_PKG" | sed '/^$/d')  # a blank line between the two lists

echo "== the menu entry, the icon and the manual pages"
desktop-file-validate /usr/share/applications/$PKG.desktop
for f in /usr/share/icons/hicolor/scalable/apps/$PKG.svg /usr/share/icons/hicolor/48x48/apps/$PKG.png \
  /usr/share/man/man1/$PKG.1.gz /usr/share/man/man1/$CLI_PKG.1.gz /usr/share/doc/$CLI_PKG/README.md; do
  [[ -s "$f" ]] || fail "$f is missing"
done
# Every file the installed README links to is there, and so is every file the
# pages it links to under docs/ link to in turn.
doc_links() {
  local page
  grep -o '](docs/[^)]*)' README.md | sed -e 's/^](/README.md /' -e 's/)$//'
  for page in docs/*.md; do
    [[ -e $page ]] || continue
    { grep -o '](\([^):]*\))' "$page" || true; } | sed -e "s|^](|$page docs/|" -e 's/)$//'
  done
}
while read -r page link; do
  [[ -s "/usr/share/doc/$CLI_PKG/$link" ]] || fail "the installed $page links to $link, which is missing"
done < <(cd "/usr/share/doc/$CLI_PKG" && doc_links)
for page in $PKG $PKG-cli; do
  zcat "/usr/share/man/man1/$page.1.gz" | grep -q '^\.SH OPTIONS' || fail "the manual page of $page shows no options"
done

echo "== the installed command as $RUNNER, sample data set"
drive=$work/drive
data=$drive/MyData/wk-db/Quorvel2/Db/demo0001
mkdir -p "$data"
"$GEN" "$data" >/dev/null
chown -R "$RUNNER": "$drive"
# A bare environment: no home, no runtime folder, no engine settings.
as_runner() {
  setpriv --reuid="$RUNNER" --regid="$(id -g "$RUNNER")" --clear-groups \
    env -i PATH=/usr/bin:/bin HOME=/nonexistent LANG=C.UTF-8 "$@"
}
as_runner /usr/bin/$PKG-cli --version
mkdir -m 700 "$work/runtime" && chown "$RUNNER": "$work/runtime"
as_runner QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/runtime" /usr/bin/$PKG --version
rc=0
as_runner /usr/bin/$PKG-cli --drive-c "$drive" --report "$drive/report.json" "$data" >"$work/log" 2>&1 || rc=$?
((rc == 0)) || { cat "$work/log"; fail "the installed command exited with $rc"; }
grep -q '"outcome": "completed"' "$drive/report.json" || fail "the run did not complete"
(($(grep -c '"table":' "$drive/report.json") == 18)) || fail "the report does not list eighteen tables"
db=$(find "$drive" -ipath '*/intrbase/quorvel4/db/demo0001.gdb')
[[ -s "$db" ]] || fail "no database written"
# The database as the engine sees it: eighteen tables and ten indexes.
mkdir -m 700 "$work/lock" && chown "$RUNNER": "$work/lock"
counts=$(as_runner FIREBIRD_LOCK="$work/lock" isql-fb -user SYSDBA -q "$db" <<'SQL'
SET HEADING OFF;
SELECT COUNT(*) FROM RDB$RELATIONS WHERE RDB$SYSTEM_FLAG = 0;
SELECT COUNT(*) FROM RDB$INDICES WHERE RDB$SYSTEM_FLAG = 0 AND RDB$INDEX_NAME NOT STARTING 'RDB$';
SQL
)
[[ $(echo $counts) == "18 10" ]] || fail "the database holds tables and indexes \"$(echo $counts)\", not \"18 10\""

echo "== removing the package"
installed=0
dpkg --purge "$PKG" "$CLI_PKG"
left=()
for path in "${listed[@]}"; do
  [[ -z "${existed[$path]:-}" && ( -e "$path" || -L "$path" ) ]] && left+=("$path")
done
((${#left[@]} == 0)) || fail "left behind after removal: ${left[*]}"
echo "== package test passed in $((SECONDS - start)) s"
