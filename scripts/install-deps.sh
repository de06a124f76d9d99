#!/usr/bin/env bash
# Takes a fresh Debian 12 machine to a buildable, testable state. Idempotent: a second run
# only checks what is there. Fetched files go to the cache ($VELMO_CACHE, default ~/.cache/velmo-ai).
set -euo pipefail

CACHE="${VELMO_CACHE:-$HOME/.cache/velmo-ai}"
ORT_VERSION_PKG="0.4.9"
ORT_DIR="$CACHE/onnxruntime-1.29"

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  nlohmann-json3-dev libsodium-dev
  libopencv-core-dev libopencv-imgproc-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev ffmpeg
  libboost1.81-dev
  python3 python3-onnx python3-numpy python3-gi
  gir1.2-gst-rtsp-server-1.0 gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly
  opencv-doc
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
# npm fetches ONNX Runtime; a machine with its own Node.js keeps it.
if ! command -v npm >/dev/null 2>&1; then missing+=(npm); fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# ONNX Runtime: Debian has none; the official Linux x64 build ships inside an npm package.
if [ ! -f "$ORT_DIR/lib/libonnxruntime.so.1" ] || [ ! -f "$ORT_DIR/include/onnxruntime_cxx_api.h" ]; then
  echo "install-deps: fetching ONNX Runtime (npm com.github.asus4.onnxruntime@$ORT_VERSION_PKG)"
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  (cd "$work" && npm pack --silent "com.github.asus4.onnxruntime@$ORT_VERSION_PKG" >/dev/null)
  tar -xzf "$work"/com.github.asus4.onnxruntime-*.tgz -C "$work"
  headers="$(find "$work/package/Plugins/iOS~" -type d -path '*ios-arm64/onnxruntime.framework/Headers' | head -n 1)"
  [ -n "$headers" ] || { echo "install-deps: ONNX Runtime headers not found in the package" >&2; exit 1; }
  rm -rf "$ORT_DIR.tmp"
  mkdir -p "$ORT_DIR.tmp/include" "$ORT_DIR.tmp/lib"
  cp "$headers"/*.h "$ORT_DIR.tmp/include/"
  cp "$work/package/Plugins/Linux/x64/libonnxruntime.so" "$ORT_DIR.tmp/lib/libonnxruntime.so.1"
  ln -sf libonnxruntime.so.1 "$ORT_DIR.tmp/lib/libonnxruntime.so"
  if [ -f "$work/package/Plugins/Linux/x64/libonnxruntime_providers_shared.so" ]; then
    cp "$work/package/Plugins/Linux/x64/libonnxruntime_providers_shared.so" "$ORT_DIR.tmp/lib/"
  fi
  rm -rf "$ORT_DIR"
  mv "$ORT_DIR.tmp" "$ORT_DIR"
fi

# The pedestrian sample, transcoded once to H.264 so the RTSP test server can serve it without re-encoding.
VTEST_SRC=/usr/share/doc/opencv-doc/examples/data/vtest.avi
VTEST_H264="$CACHE/media/vtest.mp4"
if [ ! -s "$VTEST_H264" ]; then
  mkdir -p "$CACHE/media"
  echo "install-deps: transcoding vtest.avi to H.264"
  ffmpeg -loglevel error -y -i "$VTEST_SRC" -c:v libx264 -preset veryfast -g 10 -bf 2 -pix_fmt yuv420p \
    -an "$VTEST_H264.tmp.mp4"
  mv "$VTEST_H264.tmp.mp4" "$VTEST_H264"
fi
echo "install-deps: ready (cache $CACHE)"
