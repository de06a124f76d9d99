#!/usr/bin/env bash
# Takes a fresh Debian 12 machine to a buildable, testable state. Idempotent: a second run
# only checks what is there. Fetched files go to the cache ($VELMO_CACHE, default ~/.cache/velmo-ai).
#   --onnxruntime   only fetch (or check) ONNX Runtime; no packages, no media
# VELMO_ORT_TARBALL=<file> takes the npm package from that file instead of the registry (machines
# without network); it is checked against the same digest.
set -euo pipefail

CACHE="${VELMO_CACHE:-$HOME/.cache/velmo-ai}"
ORT_VERSION_PKG="0.4.9"
ORT_DIR="$CACHE/onnxruntime-1.29"
# What is fetched runs inside every program: the package and the libraries taken from it must be
# exactly these (SHA-256).
ORT_TARBALL_SHA256="e59788788818fdde1b2e522e766a21ba0f7d8391de55737abf81e32cc801785d"
ORT_LIB_SHA256="5715f06d8992ca8eeeddcce43df3a7d38f97d537052126f558e912cb312460ca"
ORT_PROVIDERS_SHARED_SHA256="086ec1d5388f64153d9c63470d126693db9a182c8ce236d3a1119068471b8a0d"

only_onnxruntime=0
case "${1:-}" in
  "") ;;
  --onnxruntime) only_onnxruntime=1 ;;
  *) echo "usage: install-deps.sh [--onnxruntime]" >&2; exit 2 ;;
esac

sha256_of() { sha256sum "$1" | cut -d' ' -f1; }

# Stops the script when `file` is not the pinned `expected` digest.
require_sha256() {
  local file="$1" expected="$2" what="$3" actual
  actual="$(sha256_of "$file")"
  if [ "$actual" != "$expected" ]; then
    echo "install-deps: $what has SHA-256 $actual, expected $expected: refusing it (tampered or not the pinned release)" >&2
    exit 1
  fi
}

# Whether the cached ONNX Runtime is complete and exactly the pinned one.
onnxruntime_ok() {
  [ -f "$ORT_DIR/lib/libonnxruntime.so.1" ] && [ -f "$ORT_DIR/include/onnxruntime_cxx_api.h" ] &&
    [ "$(sha256_of "$ORT_DIR/lib/libonnxruntime.so.1")" = "$ORT_LIB_SHA256" ] &&
    { [ ! -e "$ORT_DIR/lib/libonnxruntime_providers_shared.so" ] ||
      [ "$(sha256_of "$ORT_DIR/lib/libonnxruntime_providers_shared.so")" = "$ORT_PROVIDERS_SHARED_SHA256" ]; }
}

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  nlohmann-json3-dev libsodium-dev
  libopencv-core-dev libopencv-imgproc-dev libopencv-objdetect-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev ffmpeg
  libboost1.81-dev
  python3 python3-onnx python3-numpy python3-gi
  gir1.2-gst-rtsp-server-1.0 gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly
  opencv-doc
  ccache
  clang-format-14 clang-tidy-14
)

# --onnxruntime looks at no package.
[ "$only_onnxruntime" = 0 ] || PACKAGES=()

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
# npm fetches ONNX Runtime; a machine with its own Node.js keeps it.
if [ -z "${VELMO_ORT_TARBALL:-}" ] && ! command -v npm >/dev/null 2>&1; then missing+=(npm); fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# ONNX Runtime: Debian has none; the official Linux x64 build ships inside an npm package.
if ! onnxruntime_ok; then
  if [ -e "$ORT_DIR" ]; then
    # Never left in place for a build to pick up: an incomplete copy or one that is not the pinned build.
    echo "install-deps: $ORT_DIR is incomplete or not the pinned build; removing it and fetching again"
    rm -rf "$ORT_DIR"
  fi
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  tarball="$work/onnxruntime.tgz"
  if [ -n "${VELMO_ORT_TARBALL:-}" ]; then
    echo "install-deps: taking ONNX Runtime from $VELMO_ORT_TARBALL"
    cp "$VELMO_ORT_TARBALL" "$tarball"
  else
    echo "install-deps: fetching ONNX Runtime (npm com.github.asus4.onnxruntime@$ORT_VERSION_PKG)"
    mkdir "$work/npm"
    (cd "$work/npm" && npm pack --silent "com.github.asus4.onnxruntime@$ORT_VERSION_PKG" >/dev/null)
    mv "$work"/npm/com.github.asus4.onnxruntime-*.tgz "$tarball"
  fi
  # Checked before anything in it is unpacked.
  require_sha256 "$tarball" "$ORT_TARBALL_SHA256" "the ONNX Runtime package"
  tar -xzf "$tarball" -C "$work"
  linux="$work/package/Plugins/Linux/x64"
  require_sha256 "$linux/libonnxruntime.so" "$ORT_LIB_SHA256" "libonnxruntime.so from the package"
  require_sha256 "$linux/libonnxruntime_providers_shared.so" "$ORT_PROVIDERS_SHARED_SHA256" \
    "libonnxruntime_providers_shared.so from the package"
  headers="$(find "$work/package/Plugins/iOS~" -type d -path '*ios-arm64/onnxruntime.framework/Headers' | head -n 1)"
  [ -n "$headers" ] || { echo "install-deps: ONNX Runtime headers not found in the package" >&2; exit 1; }
  rm -rf "$ORT_DIR.tmp"
  mkdir -p "$ORT_DIR.tmp/include" "$ORT_DIR.tmp/lib"
  cp "$headers"/*.h "$ORT_DIR.tmp/include/"
  cp "$linux/libonnxruntime.so" "$ORT_DIR.tmp/lib/libonnxruntime.so.1"
  ln -sf libonnxruntime.so.1 "$ORT_DIR.tmp/lib/libonnxruntime.so"
  cp "$linux/libonnxruntime_providers_shared.so" "$ORT_DIR.tmp/lib/"
  rm -rf "$ORT_DIR"
  mv "$ORT_DIR.tmp" "$ORT_DIR"
  rm -rf "$work"
  trap - EXIT
fi
[ "$only_onnxruntime" = 0 ] || { echo "install-deps: ONNX Runtime ready ($ORT_DIR)"; exit 0; }

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
