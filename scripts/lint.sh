#!/usr/bin/env bash
# Style and static checks, run by CI after the tests; exits 1 on any finding.
#  - clang-format 14 (.clang-format) over every tracked C++ file: the file must already be formatted.
#  - clang-tidy 14 (.clang-tidy) over the tracked production sources (not tests, not benchmarks),
#    with the compile commands of the build folder, which is configured first if it has none.
#   bash scripts/lint.sh [format|tidy]...   (both when none is named)
# BUILD_DIR names the build folder (default build); VELMO_JOBS the clang-tidy processes (default:
# every core). Installs nothing: scripts/install-deps.sh provides both tools.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD_DIR:-build}"
jobs="${VELMO_JOBS:-$(nproc)}"
# One version for everyone: another clang-format lays the same code out differently.
format=clang-format-14
tidy=clang-tidy-14

kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(format tidy)

require() {
  command -v "$1" >/dev/null 2>&1 || { echo "lint: $1 not found (scripts/install-deps.sh installs it)" >&2; exit 2; }
}

run_format() {
  require "$format"
  local files
  mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
  echo "lint: format: ${#files[@]} files"
  "$format" --dry-run -Werror "${files[@]}"
}

run_tidy() {
  require "$tidy"
  if [ ! -f "$build/compile_commands.json" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  # Tracked production sources that the build compiles; headers are checked through them.
  local files
  mapfile -t files < <(git ls-files -- '*.cpp' ':!:tests/' ':!:bench/' |
    /usr/bin/python3 -c '
import json, os, sys
compiled = {os.path.realpath(e["file"]) for e in json.load(open(sys.argv[1]))}
for line in sys.stdin:
    path = line.strip()
    if os.path.realpath(path) in compiled:
        print(path)
' "$build/compile_commands.json")
  echo "lint: tidy: ${#files[@]} files"
  printf '%s\n' "${files[@]}" | xargs -P "$jobs" -n 1 "$tidy" -p "$build" --quiet 2>/dev/null
}

status=0
for kind in "${kinds[@]}"; do
  case "$kind" in
    format) run_format || status=1 ;;
    tidy) run_tidy || status=1 ;;
    *) echo "lint: unknown check '$kind' (format or tidy)" >&2; exit 2 ;;
  esac
done
if [ "$status" -ne 0 ]; then
  echo "lint: FAILED" >&2
  exit 1
fi
echo "lint: clean"
