#!/usr/bin/env bash
# Set-up, build, test and demo of the QUORVEL migration tool on Debian 12.
#   ./run.sh deps    install every package the build, tests and demo need
#   ./run.sh build   deps + configure + build
#   ./run.sh test    build + every test (also the sanitizer build of the core)
#   ./run.sh demo    build + the headless migration of the sample data set
#   ./run.sh bench   release build + the benchmark
#   ./run.sh package the Debian package (build-package/*.deb), checked by lintian
#   ./run.sh fuzz [SECONDS]  libFuzzer run of the table reader
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
  ctest --test-dir build --output-on-failure -j "$JOBS" -LE long
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
  deb=$(echo build-package/*.deb)
  echo "== lintian $deb"
  lintian --fail-on error,warning --suppress-tags-from-file packaging/lintian-accepted "$deb"
}

fuzz() {
  deps
  cmake --preset fuzz >/dev/null
  cmake --build build-fuzz --target paradox_fuzz -j "$JOBS"
  bash "$ROOT/tools/fuzz.sh" "$ROOT/build-fuzz" "${1:-60}"
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
  *) echo "usage: $0 deps|build|test|demo|bench|fuzz|package" >&2; exit 2 ;;
esac
