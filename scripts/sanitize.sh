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

launcher=()
# Installed by scripts/install-deps.sh; a second run then rebuilds only what changed.
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}"
fi

# A run without findings writes nothing more to standard error (print_suppressions=0 keeps the
# leak checker's "Suppressions used" table away too), so tests that compare a program's standard
# error see only what the program wrote. A finding ends the process with status 66, in child
# processes as well: they inherit these settings.
export TSAN_OPTIONS="suppressions=$supp/tsan.supp halt_on_error=1 exitcode=66 second_deadlock_stack=1 print_suppressions=0"
export ASAN_OPTIONS="detect_leaks=1 halt_on_error=1 exitcode=66 check_initialization_order=1 strict_init_order=1 detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$supp/lsan.supp print_suppressions=0"
export UBSAN_OPTIONS="suppressions=$supp/ubsan.supp halt_on_error=1 print_stacktrace=1 print_suppressions=0"

run_kind() {
  local kind="$1" dir option
  case "$kind" in
    thread) dir=build-tsan option=-DVELMO_SANITIZE_THREAD=ON ;;
    address) dir=build-asan option=-DVELMO_SANITIZE_ADDRESS=ON ;;
    *) echo "sanitize: unknown kind '$kind' (thread or address)" >&2; return 2 ;;
  esac
  echo "sanitize: $kind: building in $dir"
  # Benchmarks are left out: their figures mean nothing under a sanitizer.
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$option" -DVELMO_BUILD_BENCH=OFF \
    "${launcher[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "sanitize: $kind: running the tests"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 900
}

start=$SECONDS
for kind in "${kinds[@]}"; do
  run_kind "$kind"
done
echo "sanitize: ${kinds[*]}: clean in $((SECONDS - start)) s"
