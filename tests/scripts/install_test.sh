#!/usr/bin/env bash
# `cmake --install` lays out a tree that runs on its own: the programs in bin/ load the ONNX Runtime
# in lib/ beside them (not the build machine's cache), and run with HOME unset, under an account
# that cannot read the builder's home where one can be had (nobody, through setpriv, when run as
# root); otherwise that part is skipped and said so.
#   install_test.sh <cmake program> <build folder>
set -euo pipefail
cmake_bin="${1:?cmake}"
build="${2:?build folder}"
tmp="$(mktemp -d)"
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; for f in "$tmp"/*.log; do [ -f "$f" ] && sed 's/^/  /' "$f" >&2; done; exit 1; }
chmod 755 "$tmp"
root="$tmp/velmo-ai"

"$cmake_bin" --install "$build" --prefix "$root" >"$tmp/install.log" 2>&1 || fail "cmake --install failed"
for f in bin/velmo-ai bin/velmo-ai-infer-frame bin/velmo-ai-model-tool lib/libonnxruntime.so.1 \
         share/velmo-ai/config.example.toml share/velmo-ai/docs/api.md share/velmo-ai/docs/velmo-ai.service; do
  [ -e "$root/$f" ] || fail "the installed tree has no $f"
done
for program in velmo-ai velmo-ai-infer-frame; do
  runpath="$(readelf -d "$root/bin/$program" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')"
  [ "$runpath" = '$ORIGIN/../lib' ] || fail "$program has RUNPATH '$runpath'"
done

# Whom the programs run as: another account when this one is root and setpriv is there.
as=()
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null && id nobody >/dev/null 2>&1; then
  as=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups --)
else
  echo "install_test: running as $(id -un), not as another account (needs root and setpriv)"
fi
run() { "${as[@]}" env -u HOME -u LD_LIBRARY_PATH "$@"; }

version="$(run "$root/bin/velmo-ai" --version 2>"$tmp/version.log")" || fail "velmo-ai --version failed"
[ "$version" = "velmo-ai 0.3.0" ] || fail "velmo-ai --version printed '$version'"
run "$root/bin/velmo-ai-infer-frame" --help >"$tmp/infer.log" 2>&1 || fail "velmo-ai-infer-frame --help failed"
run "$root/bin/velmo-ai-model-tool" --help >"$tmp/tool.log" 2>&1 || fail "velmo-ai-model-tool --help failed"

# A short start: the service listens, maps the installed ONNX Runtime and ends cleanly on SIGTERM.
# The model is missing, so it serves with the model not ready, which is enough here.
port="$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
mkdir "$tmp/etc"
printf '[Server]\nPort = %s\n[AI]\nEnabled = true\n[Model]\nManifest = "missing.json"\nRequireSignature = false\n' \
  "$port" >"$tmp/etc/config.toml"
chmod -R a+rX "$tmp/etc"
(cd / && exec "${as[@]}" env -u HOME -u LD_LIBRARY_PATH "$root/bin/velmo-ai" --config "$tmp/etc/config.toml") \
  2>"$tmp/service.log" &
pid=$!
for _ in $(seq 300); do
  grep -q 'api: server listening' "$tmp/service.log" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
grep -q 'api: server listening' "$tmp/service.log" || fail "the installed service did not start"
grep -q "$root/lib/libonnxruntime.so.1" "/proc/$pid/maps" || fail "the service did not load the installed ONNX Runtime"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=""
[ "$status" = 0 ] || fail "the installed service exited with $status on SIGTERM"
grep -q 'cli: shutdown requested' "$tmp/service.log" || fail "no shutdown line"
echo "install_test: ok"
