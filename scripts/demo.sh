#!/usr/bin/env bash
# The main job: installs what is missing, builds, makes a signed demo model package, starts a
# loopback RTSP camera (a bright moving disc, which the generated detector reports as a person),
# runs velmo-ai on it, creates a task over HTTP with an intrusion zone on the left half, and prints
# the events posted to the callback and the task's statistics. Ctrl-C ends it
# (VELMO_DEMO_SECONDS=N ends it after N seconds).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target velmo-ai velmo-ai-model-tool velmo-ai-infer-frame

demo="$root/build/demo"
mkdir -p "$demo/models"
# A generated detector that "detects" bright rectangles, signed with the project's own model tool.
/usr/bin/python3 tests/fixtures/make_models.py --out "$demo/models" --package \
  --model-tool "$root/build/tools/velmo-ai-model-tool" bright_dets
api_port="${VELMO_DEMO_PORT:-18090}"
camera_port="${VELMO_DEMO_CAMERA_PORT:-18554}"
sed 's/^Port = .*/Port = '"$api_port"'/' config.example.toml > "$demo/config.toml"

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT INT TERM

/usr/bin/python3 tests/fixtures/rtsp_server.py --port "$camera_port" --pattern ball --fps 10 \
  --width 640 --height 360 > "$demo/camera.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q READY "$demo/camera.log" && break; sleep 0.1; done

"$root/build/service/velmo-ai" --config "$demo/config.toml" 2> >(tee "$demo/service.log" >&2) &
pids+=($!)

/usr/bin/python3 scripts/demo_driver.py --api "http://127.0.0.1:$api_port" \
  --camera "rtsp://127.0.0.1:$camera_port/live" --seconds "${VELMO_DEMO_SECONDS:-0}"
