#!/usr/bin/env bash
# The main job: installs what is missing, builds, makes a signed package of the demo people
# detector (OpenCV's trained HOG people detector as an ONNX graph), serves the pedestrian clip as a
# loopback RTSP camera, runs velmo-ai on it, creates a task over HTTP with an intrusion zone over
# part of the walkway, prints the events posted to the callback with their people and the task's
# statistics, and rewrites build/demo/latest.png (the latest frame, zone and people drawn) every
# few seconds. Ctrl-C ends it (VELMO_DEMO_SECONDS=N ends it after N seconds).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
bash scripts/install-deps.sh
demo="$root/build/demo"
mkdir -p "$demo/models"
# The build's output is shown only when it fails.
echo "demo: building (output in build/demo/build.log)"
if ! { cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build build -j"$(nproc)" --target velmo-ai velmo-ai-model-tool velmo-ai-infer-frame velmo-hog-weights
     } > "$demo/build.log" 2>&1; then
  cat "$demo/build.log" >&2
  echo "demo: the build failed" >&2
  exit 1
fi

# The people detector generated from OpenCV's weights, signed with the project's own model tool.
/usr/bin/python3 models/make_models.py --out "$demo/models" --package \
  --model-tool "$root/build/tools/velmo-ai-model-tool" --hog-weights "$root/build/models/velmo-hog-weights" hog_people
# The pedestrian clip (80 s) ten times over, so the camera keeps going for a while.
clip="$demo/vtest-loop.mp4"
if [ ! -s "$clip" ]; then
  ffmpeg -nostdin -loglevel error -y -stream_loop 9 -i "${VELMO_CACHE:-$HOME/.cache/velmo-ai}/media/vtest.mp4" \
    -c copy "$clip.tmp.mp4"
  mv "$clip.tmp.mp4" "$clip"
fi
api_port="${VELMO_DEMO_PORT:-18090}"
camera_port="${VELMO_DEMO_CAMERA_PORT:-18554}"
# The clip has one key frame a second: decode every frame, so people are detected several times a second.
sed -e 's/^Port = .*/Port = '"$api_port"'/' -e 's/^DecodeMode = .*/DecodeMode = "all"/' config.example.toml \
  > "$demo/config.toml"

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT INT TERM

/usr/bin/python3 tests/fixtures/rtsp_server.py --port "$camera_port" --file "$clip" --share-file > "$demo/camera.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q READY "$demo/camera.log" && break; sleep 0.1; done

"$root/build/service/velmo-ai" --config "$demo/config.toml" 2> >(tee "$demo/service.log" >&2) &
pids+=($!)

/usr/bin/python3 scripts/demo_driver.py --api "http://127.0.0.1:$api_port" \
  --camera "rtsp://127.0.0.1:$camera_port/file" --seconds "${VELMO_DEMO_SECONDS:-0}" --picture "$demo/latest.png"
