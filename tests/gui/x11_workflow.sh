#!/usr/bin/env bash
# The desktop program on a real X server (Xvfb, 1280x800) with a window
# manager, driven from the keyboard as a user would: Alt+C opens the
# conversion form, the tree is moved into the sample data set, Enter selects
# it, Enter converts, a click on Verify compares; then the log is read back
# through the clipboard.
# Runs at scale 1 and 2 and saves a screenshot of each.
#   x11_workflow.sh BIN_DIR OUT_DIR
# Exits 77 (skipped) when Xvfb, openbox, xdotool, xclip or scrot is missing.
set -uo pipefail
BIN=$1
OUT=$2
for tool in Xvfb openbox xdotool xclip scrot; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (./run.sh deps installs it)"
    exit 77
  fi
done
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
  exit 1
}

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local limit=$1
  shift
  for ((i = 0; i < limit * 10; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

run_at_scale() {
  local scale=$1 shot=$2
  local root=$WORK/c$scale
  local data=$root/MyData/wk-db/Quorvel2/Db/demo0001
  mkdir -p "$data"
  "$BIN/quorvel-gen-sample" "$data" >/dev/null || fail "sample data"

  exec {fd}<> <(:)
  Xvfb -displayfd "$fd" -screen 0 1280x800x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
  PIDS+=($!)
  local display=""
  read -r -t 10 display <&"$fd" || fail "Xvfb did not start"
  exec {fd}<&-
  export DISPLAY=:$display
  openbox >"$WORK/openbox.log" 2>&1 &
  PIDS+=($!)
  wait_for 10 xdotool getdisplaygeometry || fail "no display"
  sleep 0.5

  QUORVEL_DRIVE_C=$root QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=$scale "$BIN/quorvel-migrate" >"$WORK/app.log" 2>&1 &
  local app=$!
  PIDS+=($app)
  wait_for 20 xdotool search --onlyvisible --pid "$app" || fail "the main window did not show"
  local main
  main=$(xdotool search --onlyvisible --pid "$app" | head -1)
  xdotool windowactivate --sync "$main"
  sleep 0.5
  xdotool key --clearmodifiers alt+c
  wait_for 10 bash -c "(( \$(xdotool search --onlyvisible --pid $app | wc -l) >= 2 ))" || fail "Alt+C opened no form"
  local form
  form=$(xdotool getactivewindow)
  sleep 1
  read -r w h < <(xdotool getwindowgeometry "$form" | awk '/Geometry/ {split($2, a, "x"); print a[1], a[2]}')
  echo "scale $scale: conversion form ${w}x${h} on a 1280x800 screen"
  ((w <= 1280 && h <= 800)) || fail "the form does not fit the screen"
  # The tree starts on the default folder: open it, take its first folder
  # (the data set), then Enter selects it and Enter again converts.
  xdotool key --delay 150 Right Down Return
  sleep 0.5
  xdotool key Return
  read -r x y < <(xdotool getwindowgeometry "$form" | awk '/Position/ {split($2, a, ","); print a[1], a[2]}')
  local log_x=$((x + w * 7 / 10)) log_y=$((y + h / 2))
  # The log is read back through the clipboard: a click in it, select all, copy.
  wait_for 60 bash -c "xdotool mousemove $log_x $log_y click 1 key ctrl+a ctrl+c;
    xclip -o -selection clipboard 2>/dev/null | grep -q 'Conversion run complete'" ||
    { xclip -o -selection clipboard | tail -5; fail "the run did not complete"; }
  local log
  log=$(xclip -o -selection clipboard)
  grep -q "JSEARCH table" <<<"$log" || fail "the log lacks the job-search table"
  grep -q "^Attempting to start conversions" <<<"$log" || fail "the log lacks the start of the conversions"
  grep -q "^CARRIER table" <<<"$log" || fail "the log lacks the first table"
  # Verify sits at the right end of the row above the server fields, right
  # of Check (the click is placed relative to the window: its reported
  # position counts the frame):
  # it compares the new database with the old tables, and the report's
  # total line ends the log.
  xdotool mousemove --window "$form" $((w - 30 * scale)) $((h - 48 * scale)) click 1
  wait_for 120 bash -c "xdotool mousemove $log_x $log_y click 1 key ctrl+a ctrl+c;
    xclip -o -selection clipboard 2>/dev/null | tail -1 | grep -q '^Total: 18 tables, .*: every value arrived'" ||
    { xclip -o -selection clipboard | tail -5; fail "verify did not report every value arrived"; }
  log=$(xclip -o -selection clipboard)
  grep -q "^Verifying .* against the old tables of " <<<"$log" || fail "the log lacks the verify heading"
  # A click drops the selection, so the picture shows the log as it is.
  xdotool mousemove $log_x $log_y click 1 mousemove 0 0
  sleep 0.5
  scrot -o "$shot" || fail "screenshot"
  echo "scale $scale: log of $(wc -l <<<"$log") lines, the run complete and verified; picture $shot"
  kill "$app" 2>/dev/null
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  PIDS=()
}

run_at_scale 1 "$OUT/desktop-1x.png"
run_at_scale 2 "$OUT/desktop-2x.png"
echo "PASS"
