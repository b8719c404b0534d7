#!/usr/bin/env bash
# The desktop program on a real X server (Xvfb) with a window manager,
# driven as its users drive it: from the keyboard (xdotool), and read and
# pressed through the accessibility bus as a screen reader does (atspi.py).
#   1. 1280x800, scale 1, keyboard only: Alt+C opens the form, the tree
#      starts at the data sets' folder, typing a data set's name takes it,
#      Enter selects it, Enter converts, Alt+V
#      verifies. Every widget has its accessible name; the tree reports one
#      column. A second Convert asks before replacing the database: Cancel
#      (the default, Enter) keeps the file byte for byte. A run stopped
#      by the person (Escape, yes) leaves the form open with its log.
#   2. 1280x800, scale 2: the same keyboard run, for the picture.
#   3. 1024x768, scale 2: the form fits the screen; every button is found
#      and pressed through the accessibility bus.
#   4. Scale 1 and 2: one message box per kind of error (a folder that is
#      no data set, no table ticked, an unusable server, a missing, a
#      damaged table, a value the database refuses, a database another
#      program holds), each read through the accessibility bus: its title,
#      what happened, what to do, and the same text in the log. A Check of a
#      data set that lacks a table shows its verdict without scrolling.
# Each saves a screenshot.
#   x11_workflow.sh BIN_DIR OUT_DIR
# Exits 77 (skipped) when Xvfb, openbox, xdotool, scrot, dbus-run-session or
# Debian's python3 with the AT-SPI bindings is missing.
set -uo pipefail
BIN=$1
OUT=$2
HERE=$(cd "$(dirname "$0")" && pwd)
PY=/usr/bin/python3
for tool in Xvfb openbox xdotool scrot dbus-run-session; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (./run.sh deps installs it)"
    exit 77
  fi
done
if ! "$PY" -c 'import gi; gi.require_version("Atspi", "2.0")' 2>/dev/null; then
  echo "SKIP: $PY lacks the AT-SPI bindings (gir1.2-atspi-2.0, python3-gi; ./run.sh deps installs them)"
  exit 77
fi
# A session bus of our own, on which the accessibility bus starts.
# Its runtime folder is the run's own: the accessibility bus puts its socket
# there, where another run (of the same user) cannot take it away.
if [[ -z ${QV_X11_SESSION:-} ]]; then
  runtime=$(mktemp -d)
  QV_X11_SESSION=1 XDG_RUNTIME_DIR=$runtime dbus-run-session -- bash "$0" "$@"
  status=$?
  rm -rf "$runtime"
  exit $status
fi
mkdir -p "$OUT"
WORK=$(mktemp -d)
. "$(dirname "$0")/../support/private_folders.sh" "$WORK/private"
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  tail -20 "$WORK/app.log" 2>/dev/null
  [[ -n ${APP:-} ]] && at dump 2>/dev/null | head -80
  exit 1
}

# Polls the command after $1 until it succeeds; fails once $1 seconds have
# passed by the clock, or a minute for shorter limits: on a loaded machine
# (the soak's burners beside a parallel ctest) a window took over 20 s to
# show. The limit only ends a hang: nothing waits for it.
wait_for() {
  local deadline=$((SECONDS + ($1 < 60 ? 60 : $1)))
  shift
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

at() { "$PY" "$HERE/atspi.py" "$APP" "$@"; }
log_text() { at text "Status messages"; }
log_has() { grep -qE "$1" <<<"$(log_text)"; }
log_ends_with() { tail -1 <<<"$(log_text)" | grep -qE "$1"; }
log_unfocused() { at names "Status messages" && ! at focused "Status messages"; }
alert_shown() { at alert >/dev/null; }
progress_on_jsearch() {
  grep -qE '^All tables: [0-9]+ of [0-9]+ records.*; table [0-9]+ of 18: JSEARCH_4, .* elapsed' \
    <<<"$(at description "Run progress")"
}
no_alert() { ! at alert >/dev/null 2>&1 && [[ $(xdotool getactivewindow) == "$FORM" ]]; }

# Starts Xvfb at $1 (WxH), openbox, and the program at scale $2 on the
# drive root $3; sets DISPLAY, APP and FORM (the conversion form, opened
# with Alt+C).
start() {
  local geometry=$1 scale=$2 root=$3
  exec {fd}<> <(:)
  Xvfb -displayfd "$fd" -screen 0 "${geometry}x24" -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
  PIDS+=($!)
  local display=""
  read -r -t 10 display <&"$fd" || fail "Xvfb did not start"
  exec {fd}<&-
  export DISPLAY=:$display
  openbox >"$WORK/openbox.log" 2>&1 &
  PIDS+=($!)
  wait_for 10 xdotool getdisplaygeometry || fail "no display"
  # The window manager answers for the desktop once it manages the screen;
  # before that, activating a window fails (seen on a loaded machine).
  wait_for 10 xdotool get_desktop || fail "the window manager did not start"
  # The accessibility bus is started first, so that the program joins it at once.
  "$PY" -c 'import gi; gi.require_version("Atspi", "2.0"); from gi.repository import Atspi; Atspi.get_desktop(0)'
  QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QUORVEL_DRIVE_C=$root QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=$scale \
    "$BIN/quorvel-migrate" >"$WORK/app.log" 2>&1 &
  APP=$!
  PIDS+=($APP)
  wait_for 20 xdotool search --onlyvisible --pid "$APP" || fail "the main window did not show"
  local main
  main=$(xdotool search --onlyvisible --pid "$APP" | head -1)
  wait_for 20 at names "QUORVEL migration" || fail "the program is not on the accessibility bus"
  xdotool windowactivate --sync "$main"
  read -r w h < <(xdotool getwindowgeometry "$main" | awk '/Geometry/ {split($2, a, "x"); print a[1], a[2]}')
  read -r sw sh < <(xdotool getdisplaygeometry)
  ((w <= sw && h <= sh)) || fail "the main window (${w}x$h) does not fit the ${sw}x$sh screen"
  xdotool key --clearmodifiers alt+c
  wait_for 10 bash -c "(( \$(xdotool search --onlyvisible --pid $APP | wc -l) >= 2 ))" || fail "Alt+C opened no form"
  wait_for 10 at names "Folders" || fail "the form is not on the accessibility bus"
  FORM=$(xdotool getactivewindow)
  read -r w h < <(xdotool getwindowgeometry "$FORM" | awk '/Geometry/ {split($2, a, "x"); print a[1], a[2]}')
  echo "scale $scale on $geometry: conversion form ${w}x$h"
  ((w <= sw && h <= sh)) || fail "the form (${w}x$h) does not fit the ${sw}x$sh screen"
}

stop_all() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  PIDS=()
  APP=""
}

data_set() {  # $1 root, $2 name, more: quorvel-gen-sample options
  local dir=$1/MyData/wk-db/Quorvel2/Db/$2
  mkdir -p "$dir"
  "$BIN/quorvel-gen-sample" "${@:3}" "$dir" >/dev/null || fail "sample data"
}

# Two grabs in a row alike: nothing is being drawn.
screen_settled() { scrot -o "$WORK/grab.png" && scrot -o "$1" && cmp -s "$WORK/grab.png" "$1"; }

# Saves a picture of the screen once it has settled.
shot() {
  wait_for 30 screen_settled "$1" || fail "the screen kept changing; no picture"
  echo "picture $1"
}

# The keyboard run: the tree starts at the data sets' folder; typing a name
# takes that data set, Enter selects it (the default button), Enter converts.
# Types the data set's name $1 in the tree and presses Enter (select), then
# Enter again (Convert) unless $2 is "no".
take() {
  xdotool type --delay 60 "$1"
  xdotool key Return
  wait_for 10 at enabled "Tables to migrate" || fail "the folder $1 was not accepted"
  grep -q "Db\\\\$1\$" <<<"$(at text "Chosen folder")" || fail "chosen: $(at text "Chosen folder")"
  [[ ${2:-} == no ]] || xdotool key Return
}

keyboard_run() {
  take demo0001
  wait_for 120 log_has '^Conversion run complete' || { log_text | tail -5; fail "the run did not complete"; }
  log_has '^JSEARCH table' || fail "the log lacks the job-search table"
  log_has '^Attempting to start conversions' || fail "the log lacks the start of the conversions"
  # Alt+V verifies; its total line ends the log.
  xdotool key --clearmodifiers alt+v
  wait_for 120 log_ends_with '^Total: 18 tables, .*: every value arrived' ||
    { log_text | tail -5; fail "verify did not report every value arrived"; }
  log_has '^Verifying .* against the old tables of ' || fail "the log lacks the verify heading"
}

session_keyboard() {
  local root=$WORK/k
  # Large enough for a stop to land in the job-search table; beside it a
  # folder whose name shares its first eight letters.
  data_set "$root" demo0001 --jsearch-records 60000
  mkdir -p "$root/MyData/wk-db/Quorvel2/Db/demo0001_old"
  start 1280x800 1 "$root"
  at names "QUORVEL migration" "QUORVEL picture" Conversion Folders "Tables to migrate" "Status messages" \
    Progress "Progress count" "Chosen folder" Database || fail "accessible names are missing"
  [[ $(at columns Folders) == 1 ]] || fail "the tree reports $(at columns Folders) columns"
  grep -q 'quorvel4\\db\\$' <<<"$(at text Database)" && fail "a database is named before a folder is chosen"
  keyboard_run
  echo "keyboard: run complete and verified"

  # Convert again over the database just made: the question names it;
  # Enter takes Cancel, and the file stays byte for byte.
  local db
  db=$(find "$root" -name 'demo0001.gdb')
  [[ -f $db ]] || fail "no database written"
  local before
  before=$(sha256sum <"$db")
  local lines_before
  lines_before=$(log_text | wc -l)
  take demo0001 no
  grep -q 'demo0001.gdb' <<<"$(at text Database)" || fail "the destination is not shown: $(at text Database)"
  xdotool key Return
  wait_for 10 alert_shown || fail "no question before replacing"
  local question
  question=$(at alert | tr '\n' ' ')  # its lines broken at spaces
  grep -qF 'C:\MyData\wk-db\intrbase\quorvel4\db\demo0001.gdb' <<<"$(at alert)" || fail "path split: $question"
  grep -q 'demo0001.gdb is already there (.*, last changed ' <<<"$question" || fail "question: $question"
  grep -q '"demo0001_old"' <<<"$question" || fail "the question does not name the other folder: $question"
  xdotool key Return
  wait_for 10 no_alert || fail "Enter did not close the question"
  [[ $(sha256sum <"$db") == "$before" ]] || fail "Cancel changed the database"
  [[ $(log_text | wc -l) == "$lines_before" ]] || fail "Cancel wrote to the log"
  echo "keyboard: Cancel kept the database byte for byte"

  # Convert (Alt+C) and Replace (Alt+R), then a stop while the job-search
  # table loads (Escape, yes). The form stays, with its log.
  xdotool key --clearmodifiers alt+c
  wait_for 10 alert_shown || fail "no question before replacing"
  xdotool key --clearmodifiers alt+r
  wait_for 120 log_has '^JSEARCH table' || fail "the run did not reach the job-search table"
  # The overall progress, as a screen reader reads it (it follows the log
  # a few times a second, so it may still name the table before).
  wait_for 30 progress_on_jsearch || fail "overall progress: $(at description "Run progress")"
  xdotool key Escape
  wait_for 10 alert_shown || fail "Escape did not ask"
  xdotool key --clearmodifiers alt+y
  wait_for 120 log_ends_with 'The database is incomplete' || { log_text | tail -3; fail "no stopped state"; }
  log_has '^The run was stopped at [A-Z_0-9]+: the database holds the rows written until then\.$' ||
    fail "the stop is not in the log"
  grep -qx "$FORM" <<<"$(xdotool search --onlyvisible --pid "$APP")" || fail "the form closed on the stop"
  grep -q 'incomplete' <<<"$(at description Progress)" || fail "progress: $(at description Progress)"
  echo "keyboard: a stop left the form open, the log readable"
  stop_all
}

session_picture() {  # $1 scale, $2 geometry, $3 picture
  local root=$WORK/p$1$2
  data_set "$root" demo0001
  start "$2" "$1" "$root"
  keyboard_run
  # The bar and the run's progress line are in the window, unscrolled.
  at inside Progress Conversion || fail "the bar is out of view"
  at inside "Run progress" Conversion || fail "the run's progress line is out of view"
  # The focus frame moves on from the log, which keeps its text unselected.
  xdotool key Tab
  wait_for 10 log_unfocused || fail "Tab left the focus in the log"
  shot "$3"
  stop_all
}

# Every button pressed through the accessibility bus, at scale 2 on 1024x768.
session_small() {
  local root=$WORK/s
  data_set "$root" demo0001
  start 1024x768 2 "$root"
  xdotool type --delay 60 demo0001
  wait_for 10 at press "Select This Directory - >>>>" || fail "select"
  wait_for 10 at press "Select none" || fail "select none"
  wait_for 10 at press "Select all" || fail "select all"
  wait_for 10 at press "Check" || fail "check"
  wait_for 120 log_has '^Verdict: nothing would stop the run' || { log_text | tail -3; fail "no check"; }
  wait_for 10 at press "Convert" || fail "convert"
  wait_for 120 log_has '^Conversion run complete' || fail "the run did not complete"
  wait_for 10 at press "Verify" || fail "verify"
  wait_for 120 log_ends_with 'every value arrived' || fail "verify did not end"
  shot "$OUT/desktop-2x-1024x768.png"
  xdotool type --delay 60 demo0001
  wait_for 10 at press "Select This Directory - >>>>" || fail "select again"
  wait_for 10 at press "Reset" || fail "reset"
  wait_for 10 at press "Browse..." || fail "browse"
  wait_for 10 bash -c "(( \$(xdotool search --onlyvisible --pid $APP | wc -l) >= 3 ))" || fail "no folder dialog"
  xdotool key Escape
  wait_for 10 bash -c "(( \$(xdotool search --onlyvisible --pid $APP | wc -l) == 2 ))" || fail "the dialog stayed"
  echo "1024x768 at scale 2: every button pressed through the accessibility bus"
  stop_all
}

# The message box shown: title $1, a text matching $2, and what to do; its
# picture goes to $OUT/box-$3.png. Enter closes it.
expect_box() {
  # The box titled $1 (a question before it may still be closing).
  local box="" i
  for ((i = 0; i < 200; i++)); do
    box=$(at box 2>/dev/null) && [[ $(head -1 <<<"$box") == "$1" ]] && break
    sleep 0.1
  done
  [[ $(head -1 <<<"$box") == "$1" ]] || { log_text | tail -3; fail "no message box $1: $box"; }
  # Lines are broken at spaces: a text is matched line by line, or whole.
  local whole
  whole=$(tr '\n' ' ' <<<"$box")
  grep -qiE "$2" <<<"$box" || grep -qiE "$2" <<<"$whole" || fail "box text, not $2: $box"
  grep -qiE '(then press|Choose|Tick|Fill in) ' <<<"$whole" || fail "the box does not say what to do: $box"
  # What a person reads and copies holds no character that is not shown.
  LC_ALL=C grep -qF -e $'\xe2\x81\xa0' -e $'\xe2\x80\x8b' -e $'\xe2\x80\x8c' -e $'\xe2\x80\x8d' \
    -e $'\xef\xbb\xbf' <<<"$box" && fail "invisible characters in the box: $box"
  # A path given as $4 stands whole on one line.
  [[ -z ${4:-} ]] || grep -qF -- "$4" <<<"$box" || fail "the box splits $4: $box"
  shot "$OUT/box-$3.png"
  xdotool key Return
  wait_for 10 no_alert || fail "Enter did not close the box ($1)"
}

# A run's error: its box, and the same title and text in the log.
expect_run_error() {  # $1 title, $2 text, $3 picture, $4 a path it names
  wait_for 120 alert_shown || { log_text | tail -3; fail "no box for $1"; }
  expect_box "$@"
  log_has "^$1: " || fail "the log lacks the box's text ($1)"
  log_has '^What to do: ' || fail "the log lacks what to do ($1)"
}

# Back to the first step, then the data set $1 taken (not converted).
again() {
  xdotool key --clearmodifiers alt+r
  wait_for 10 at enabled "Folders" || fail "reset"
  take "$1" no
}

session_errors() {  # $1 scale
  local root=$WORK/e$1 sets
  sets=$root/MyData/wk-db/Quorvel2/Db
  data_set "$root" good0001
  data_set "$root" miss0001
  find "$sets/miss0001" -iname city.db -delete
  data_set "$root" dmg00001
  truncate -s 3000 "$(find "$sets/dmg00001" -iname carrier.db)"
  data_set "$root" frac0001 --fractional-order
  mkdir -p "$sets/empty001"
  start 1280x800 "$1" "$root"

  xdotool type --delay 60 empty001
  xdotool key Return
  expect_box "DIRECTORY SELECT" "^Doesn't appear to be a valid directory$" "folder-$1x"

  take miss0001 no
  # Check first: its verdict is in view, the details collapsed below.
  xdotool key --clearmodifiers alt+h
  wait_for 120 log_has '^Verdict: the run would stop' || { log_text | tail -3; fail "no verdict"; }
  wait_for 10 at enabled Convert || fail "the check did not end"
  at visible "Status messages" '^Verdict: ' || fail "the verdict is out of view"
  log_has 'CITY.db' || fail "the check does not name the missing table"
  shot "$OUT/check-missing-table-$1x.png"
  xdotool key --clearmodifiers alt+c
  expect_run_error "Old table missing" "CITY.db is not in the chosen folder" "missing-table-$1x"

  again dmg00001
  xdotool key --clearmodifiers alt+c
  expect_run_error "Old table damaged" "CARRIER.db is damaged" "damaged-table-$1x"

  again frac0001
  xdotool key --clearmodifiers alt+c
  expect_run_error "Value not accepted" "STATS_JT.db, row [0-9]+, ORDER holds a value" "value-$1x"

  again good0001
  xdotool key --clearmodifiers alt+n
  # Check says what Convert will say.
  xdotool key --clearmodifiers alt+h
  expect_box "DIRECTORY SELECT" "^No tables selected$" "check-no-tables-$1x"
  xdotool key --clearmodifiers alt+c
  expect_box "DIRECTORY SELECT" "^No tables selected$" "no-tables-$1x"
  xdotool key --clearmodifiers alt+a
  # A server without the folder on its machine.
  xdotool key --clearmodifiers alt+e
  xdotool type --delay 30 localhost
  xdotool key --clearmodifiers alt+c
  expect_box "Server not usable" "no folder on the server" "server-$1x"
  xdotool key --clearmodifiers alt+e ctrl+a BackSpace
  xdotool key --clearmodifiers alt+c
  wait_for 120 log_has '^Conversion run complete' || { log_text | tail -3; fail "the run did not complete"; }
  wait_for 10 at enabled "Open folder" || fail "no way to open the database's folder"
  grep -qE '^    skipped \(a blank CARRIER\): [0-9]+$' <<<"$(at text Details)" || fail "details: $(at text Details)"

  # Another program holds the database: its own box, not "rename or delete".
  local db
  db=$(find "$root" -name 'good0001.gdb')
  "$PY" -c 'import fcntl, sys, time; f = open(sys.argv[1]); fcntl.flock(f, fcntl.LOCK_EX); time.sleep(600)' "$db" &
  local holder=$!
  PIDS+=($holder)
  wait_for 10 bash -c '! flock -n "$0" true' "$db" || fail "the database is not held"
  take good0001 no
  xdotool key --clearmodifiers alt+c
  wait_for 10 alert_shown || fail "no question before replacing"
  xdotool key --clearmodifiers alt+r
  # The path whole, on one line, as the database field shows it.
  expect_run_error "Database in use" "is open in another program" "in-use-$1x" "$(at text Database)"
  kill "$holder"
  echo "scale $1: a box for every kind of error, each in the log"
  stop_all
}

session_keyboard
session_errors 1
session_errors 2
session_small
session_picture 1 1280x800 "$OUT/desktop-1x.png"
session_picture 2 1280x800 "$OUT/desktop-2x.png"
echo "PASS"
