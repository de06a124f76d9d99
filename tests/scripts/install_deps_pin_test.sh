#!/usr/bin/env bash
# scripts/install-deps.sh takes only the pinned ONNX Runtime: a tampered download is refused before
# it is unpacked, a cached copy that is not the pinned build is removed rather than used, and the
# pinned build itself is kept as it is. Needs no network: the package comes from a local file.
#   install_deps_pin_test.sh <cache folder holding the installed onnxruntime-1.29>
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
installed="${1:?cache folder}/onnxruntime-1.29"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; for f in "$tmp"/out "$tmp"/err; do [ -f "$f" ] && sed 's/^/  /' "$f" >&2; done; exit 1; }
cache="$tmp/cache"
ort="$cache/onnxruntime-1.29"

install_ort() {
  VELMO_CACHE="$cache" VELMO_ORT_TARBALL="$1" bash "$root/scripts/install-deps.sh" --onnxruntime >"$tmp/out" 2>"$tmp/err"
}

# A package laid out like the real one, with another library in it.
pkg="$tmp/pkg/package/Plugins"
mkdir -p "$pkg/Linux/x64" "$pkg/iOS~/onnxruntime.xcframework/ios-arm64/onnxruntime.framework/Headers"
printf 'not the pinned library' >"$pkg/Linux/x64/libonnxruntime.so"
printf 'not the pinned library' >"$pkg/Linux/x64/libonnxruntime_providers_shared.so"
touch "$pkg/iOS~/onnxruntime.xcframework/ios-arm64/onnxruntime.framework/Headers/onnxruntime_cxx_api.h"
tar -czf "$tmp/tampered.tgz" -C "$tmp/pkg" package
digest="$(sha256sum "$tmp/tampered.tgz" | cut -d' ' -f1)"

# 1. The tampered download: a clear refusal naming both digests, status 1, nothing in the cache.
if install_ort "$tmp/tampered.tgz"; then fail "a tampered package was installed"; fi
grep -q "^install-deps: the ONNX Runtime package has SHA-256 $digest, expected [0-9a-f]\{64\}: refusing it" "$tmp/err" ||
  fail "no refusal message"
[ ! -e "$ort" ] && [ ! -e "$ort.tmp" ] || fail "something of the tampered package reached the cache"

# 2. A cached library that is not the pinned one is removed, never used, and the refetch is checked too.
mkdir -p "$ort/lib" "$ort/include"
printf 'swapped' >"$ort/lib/libonnxruntime.so.1"
touch "$ort/include/onnxruntime_cxx_api.h"
if install_ort "$tmp/tampered.tgz"; then fail "a swapped cached library was kept"; fi
grep -q "is incomplete or not the pinned build; removing it" "$tmp/out" || fail "the swapped library was not named"
grep -q "refusing it" "$tmp/err" || fail "the refetch was not checked"
[ ! -e "$ort" ] || fail "the swapped library is still in the cache"

# 3. The pinned build (the one this machine's tests run on) is kept without fetching anything.
cp -a "$installed" "$ort"
install_ort "$tmp/no-such-package.tgz" || fail "the pinned build was refused"
grep -q "install-deps: ONNX Runtime ready" "$tmp/out" || fail "no ready line"
cmp -s "$installed/lib/libonnxruntime.so.1" "$ort/lib/libonnxruntime.so.1" || fail "the pinned library was changed"
echo "install-deps pin: ok"
