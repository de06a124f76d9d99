#!/usr/bin/env bash
# Builds the project with ThreadSanitizer and with AddressSanitizer + UndefinedBehaviorSanitizer,
# each in its own folder (build-tsan, build-asan), and runs the whole test suite under each.
#   bash scripts/sanitize.sh [thread|address]...   (both when none is named)
# VELMO_JOBS sets the parallelism of the builds and of the tests (default: every core).
# Suppressions for findings outside this project (prebuilt ONNX Runtime, oneTBB) lie in
# scripts/sanitizers/.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
supp="$root/scripts/sanitizers"
jobs="${VELMO_JOBS:-$(nproc)}"

kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(thread address)

# CI builds fail on any compiler warning; a local build only shows them.
werror=OFF
[ "${CI:-}" = true ] && werror=ON

launcher=()
# Installed by scripts/install-deps.sh; a second run then rebuilds only what changed.
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}"
fi

# Reports go to files (log_path), never to standard error: tests that compare a program's standard
# error see only what the program wrote, and a report is not lost inside a test that captures
# standard error. A finding ends the process with status 66, child processes included (they
# inherit these settings); the reports are printed after the tests.
sanitizer_options() {
  local reports="$1"
  export TSAN_OPTIONS="suppressions=$supp/tsan.supp halt_on_error=1 exitcode=66 second_deadlock_stack=1 print_suppressions=0 log_path=$reports/tsan"
  export ASAN_OPTIONS="detect_leaks=1 halt_on_error=1 exitcode=66 check_initialization_order=1 strict_init_order=1 detect_stack_use_after_return=1 log_path=$reports/asan"
  export LSAN_OPTIONS="suppressions=$supp/lsan.supp print_suppressions=0"
  export UBSAN_OPTIONS="suppressions=$supp/ubsan.supp halt_on_error=1 print_stacktrace=1 print_suppressions=0 log_path=$reports/ubsan"
}

run_kind() {
  local kind="$1" dir option
  case "$kind" in
    thread) dir=build-tsan option=-DVELMO_SANITIZE_THREAD=ON ;;
    address) dir=build-asan option=-DVELMO_SANITIZE_ADDRESS=ON ;;
    *) echo "sanitize: unknown kind '$kind' (thread or address)" >&2; return 2 ;;
  esac
  local began=$SECONDS
  echo "sanitize: $kind: building in $dir"
  # Benchmarks are left out: their figures mean nothing under a sanitizer.
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$option" -DVELMO_BUILD_BENCH=OFF \
    -DVELMO_WERROR="$werror" "${launcher[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "sanitize: $kind: built in $((SECONDS - began)) s; running the tests"
  began=$SECONDS
  local reports="$root/$dir/sanitizer-reports" status=0
  rm -rf "$reports"
  mkdir -p "$reports"
  sanitizer_options "$reports"
  # No retry: a test that rides real time does so with bounds a build several times slower keeps.
  # A sanitizer finding fails the run through its report file, whatever the test's own verdict.
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 900 || status=$?
  if [ -n "$(ls -A "$reports")" ]; then
    for report in "$reports"/*; do
      echo "sanitize: $kind: report $report"
      cat "$report"
    done
    status=1
  fi
  if [ "$status" -ne 0 ]; then
    echo "sanitize: $kind: FAILED (reports kept in $reports)" >&2
    return 1
  fi
  echo "sanitize: $kind: tests passed in $((SECONDS - began)) s"
}

start=$SECONDS
for kind in "${kinds[@]}"; do
  run_kind "$kind"
done
echo "sanitize: ${kinds[*]}: clean in $((SECONDS - start)) s"
