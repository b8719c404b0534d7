#!/usr/bin/env bash
# Set-up, build, test and demo of the QUORVEL migration tool on Debian 12.
#   ./run.sh deps    install every package the build, tests and demo need
#   ./run.sh build   deps + configure + build
#   ./run.sh test    build + every test (also the sanitizer build of the core)
#   ./run.sh demo    build + the headless migration of the sample data set
#   ./run.sh bench   release build + the benchmark
#   ./run.sh package the Debian packages (build-package/*.deb), checked by lintian
#   ./run.sh fuzz [SECONDS]  libFuzzer run of the table reader
#   ./run.sh mutants [PATTERN]  planted slips (tests/mutants/*.patch): each must fail a test
#   ./run.sh soak [ROUNDS]   the test suite again and again beside two CPU burners, then the engine soak (tools/soak_*.sh)
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
JOBS=${JOBS:-$(nproc)}

PACKAGES=(
  build-essential cmake pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev
  firebird3.0-server-core libfbclient2 firebird-dev firebird3.0-utils firebird3.0-server
  qt6-base-dev libgl1-mesa-dev
  libcli11-dev libfmt-dev nlohmann-json3-dev
  xvfb openbox xdotool scrot dbus at-spi2-core gir1.2-atspi-2.0 python3-gi
  dpkg-dev help2man librsvg2-bin lintian desktop-file-utils
)

deps() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    local SUDO=""
    [[ $(id -u) -ne 0 ]] && SUDO=sudo
    $SUDO apt-get update -qq
    # The server package would start its system service; the tests run a
    # server of their own. A policy that denies every start, for the install
    # only (one the machine already has stays as it is).
    local policy=/usr/sbin/policy-rc.d ours=""
    if [[ ! -e $policy ]]; then
      printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
      $SUDO chmod 755 "$policy"
      ours=1
    fi
    local rc=0
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null || rc=$?
    [[ -n $ours ]] && $SUDO rm -f "$policy"
    return "$rc"
  fi
}

build_preset() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$JOBS"
}

build() { deps; build_preset default; }

run_tests() {
  build
  # The reader's fuzz target (clang/libFuzzer); ctest gives it a short run.
  cmake --preset fuzz >/dev/null
  cmake --build build-fuzz --target paradox_fuzz -j "$JOBS"
  export QT_QPA_PLATFORM=offscreen
  ctest --test-dir build --output-on-failure -j "$JOBS"
  # The core again under AddressSanitizer, UndefinedBehaviorSanitizer and
  # LeakSanitizer (what the database engine itself keeps to the end of the
  # process is listed in tests/lsan.supp). intercept_tls_get_addr=0: this
  # compiler's sanitizer runtime guesses the bounds of a thread's dynamic TLS
  # blocks from a header older C libraries put before them; a block that
  # merely starts 16 bytes into a page makes it read two words of heap as
  # bounds and crash while scanning at exit. Without the guess the scan only
  # loses roots it should not trust: it may report more, never hide a leak.
  build_preset asan
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:intercept_tls_get_addr=0 \
    LSAN_OPTIONS=suppressions="$ROOT/tests/lsan.supp" UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$JOBS" -LE 'long|gui'
}

demo() {
  build
  bash "$ROOT/tools/demo.sh" "$ROOT/build"
}

bench() {
  deps
  build_preset release
  "$ROOT/build-release/bin/quorvel-bench" "$@"
}

# The package from its own build (release, both programs, no tests). Lintian
# fails it on any error or warning except the tags listed, with the reason,
# in packaging/lintian-accepted.
package() {
  deps
  build_preset package
  rm -f build-package/*.deb
  cpack --preset package
  local deb
  for deb in build-package/*.deb; do
    echo "== lintian $deb"
    lintian --fail-on error,warning --suppress-tags-from-file packaging/lintian-accepted "$deb"
  done
}

fuzz() {
  deps
  cmake --preset fuzz >/dev/null
  cmake --build build-fuzz --target paradox_fuzz -j "$JOBS"
  bash "$ROOT/tools/fuzz.sh" "$ROOT/build-fuzz" "${1:-60}"
}

# Each patch under tests/mutants/ plants one slip in the code. Its first line
# names the tests that must catch it ("# ctest: -R PATTERN" or "-L LABEL";
# git apply skips it). In one scratch worktree and build folder kept in
# build-mutants/ (incremental builds), every patch (or those whose name holds
# PATTERN) is applied, built, its tests run, and reverted.
mutants() {
  deps
  local pattern=${1:-} scratch=$ROOT/build-mutants tree=$ROOT/build-mutants/tree
  mkdir -p "$scratch"
  [[ -e $tree/.git ]] || git worktree add --detach "$tree" HEAD >/dev/null
  # The scratch tree takes this tree's files as they are (committed or not);
  # unchanged files keep their times, so builds stay incremental.
  git -C "$tree" reset -q --hard
  git ls-files -co --exclude-standard -z | while IFS= read -r -d '' f; do
    [[ -f $f ]] || continue
    cmp -s "$f" "$tree/$f" || { mkdir -p "$(dirname "$tree/$f")"; cp -p "$f" "$tree/$f"; }
  done
  cmake -S "$tree" -B "$scratch/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_WITH_GUI=OFF \
    -DQV_SHARED_DIR="$ROOT/../shared" >/dev/null
  cmake --build "$scratch/build" -j "$JOBS" >"$scratch/build.log" 2>&1 ||
    { tail -20 "$scratch/build.log"; echo "mutants: the unchanged tree does not build" >&2; return 1; }
  local total=0 caught=0 missed=() stale=() broken=() patch name selection
  export QT_QPA_PLATFORM=offscreen
  for patch in "$ROOT"/tests/mutants/*.patch; do
    name=$(basename "$patch" .patch)
    [[ -z $pattern || $name == *"$pattern"* ]] || continue
    total=$((total + 1))
    read -r -a selection < <(sed -n '1s/^# ctest: *//p' "$patch")
    if ! git -C "$tree" apply "$patch" 2>/dev/null; then
      stale+=("$name")
      echo "[$total] $name: stale (no longer applies)"
      continue
    fi
    local start=$SECONDS result
    if ! cmake --build "$scratch/build" -j "$JOBS" >"$scratch/build.log" 2>&1; then
      broken+=("$name")
      result="does not build"
    elif ctest --test-dir "$scratch/build" "${selection[@]}" -j "$JOBS" --timeout 600 >"$scratch/$name.log" 2>&1; then
      missed+=("$name")
      result="MISSED (tests pass: ${selection[*]})"
    else
      caught=$((caught + 1))
      result="caught"
    fi
    git -C "$tree" apply -R "$patch"
    echo "[$total] $name: $result ($((SECONDS - start)) s)"
  done
  echo "mutants: $caught of $total caught"
  ((${#missed[@]} == 0)) || echo "missed: ${missed[*]}"
  ((${#stale[@]} == 0)) || echo "stale: ${stale[*]}"
  ((${#broken[@]} == 0)) || echo "not building: ${broken[*]}"
  ((caught == total))
}

# The default build's tests ROUNDS times (every label but package, as
# `./run.sh test` runs them) while two CPU-bound processes run beside them;
# then any extra steps tools/soak_*.sh (each gets the build's bin folder). Prints
# the failures per test.
soak() {
  local rounds=${1:-3} burners=() start=$SECONDS
  build
  stop_burners() {
    local p
    for p in "${burners[@]}"; do kill "$p" 2>/dev/null || true; done
    wait "${burners[@]}" 2>/dev/null || true
    burners=()
  }
  trap stop_burners EXIT
  trap 'stop_burners; exit 130' INT
  trap 'stop_burners; exit 143' TERM
  local i
  for i in 1 2; do
    (while :; do :; done) &
    burners+=($!)
  done
  export QT_QPA_PLATFORM=offscreen
  local failures=() round log=$ROOT/build/soak.log
  : >"$log"
  for ((round = 1; round <= rounds; round++)); do
    echo "== soak round $round of $rounds"
    local out
    out=$(ctest --test-dir build -j "$JOBS" -LE package --output-on-failure 2>&1) || true
    echo "$out" >>"$log"
    echo "$out" | tail -n 3
    while read -r t; do failures+=("$t"); done < <(echo "$out" | sed -n '/tests FAILED:/,$s/^[[:space:]]*[0-9]* - \([^ ]*\) (.*/\1/p')
  done
  local step
  for step in "$ROOT"/tools/soak_*.sh; do
    [[ -e $step ]] || continue
    echo "== $(basename "$step")"
    bash "$step" "$ROOT/build/bin" || failures+=("$(basename "$step")")
  done
  stop_burners
  echo "soak: $rounds round(s) in $((SECONDS - start)) s, ${#failures[@]} failure(s) (log: build/soak.log)"
  if ((${#failures[@]})); then
    printf '%s\n' "${failures[@]}" | sort | uniq -c | sort -rn
    return 1
  fi
}

cmd=${1:-test}
shift || true
case "$cmd" in
  deps) deps ;;
  build) build ;;
  test) run_tests ;;
  demo) demo ;;
  bench) bench "$@" ;;
  fuzz) fuzz "$@" ;;
  package) package ;;
  mutants) mutants "$@" ;;
  soak) soak "$@" ;;
  *) echo "usage: $0 deps|build|test|demo|bench|fuzz|package|mutants|soak" >&2; exit 2 ;;
esac
