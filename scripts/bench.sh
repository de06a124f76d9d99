#!/usr/bin/env bash
# Builds the benchmarks and runs them all: every bench/*_bench program (Google Benchmark, with
# repetitions) and the whole-process decoder figures against the loopback RTSP server and the
# cached vtest.mp4, each next to the ffmpeg program on the same source, and the soak (N tasks in one
# service beside N ffmpeg decodes and the in-process libavcodec floor, bench/soak.py). Writes
# $BUILD_DIR/bench/results.json and prints a table. Takes about 45 minutes; run it on an
# otherwise idle machine. Options go to bench/bench_run.py (--help lists them; --quick is a smoke test).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
bash scripts/install-deps.sh
# Figures come from an optimised build without sanitizers, whatever the folder was configured with.
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMO_SANITIZE_THREAD=OFF \
  -DVELMO_BUILD_BENCH=ON >/dev/null
targets=()
for src in bench/*_bench.cpp bench/*_probe.cpp; do
  [ -e "$src" ] && targets+=("$(basename "$src" .cpp)")
done
cmake --build "$BUILD_DIR" -j"$(nproc)" --target "${targets[@]}" decode_floor velmo-ai velmo-ai-model-tool
exec /usr/bin/python3 bench/bench_run.py --build "$BUILD_DIR" "$@"
