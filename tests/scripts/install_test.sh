#!/usr/bin/env bash
# The installed tree runs on its own: its programs load the ONNX Runtime of its lib/ (not the build
# machine's cache) with HOME unset, as nobody (through setpriv) when run as root; otherwise as this
# account, which is said.   install_test.sh <cmake program> <build folder>
set -euo pipefail
tmp="$(mktemp -d)"
pid=""
trap '[ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; for f in "$tmp"/*.log; do sed 's/^/  /' "$f" >&2; done; exit 1; }
chmod 755 "$tmp"
root="$tmp/velmo-ai"
"${1:?cmake}" --install "${2:?build folder}" --prefix "$root" >"$tmp/install.log" 2>&1 || fail "cmake --install failed"
for f in bin/velmo-ai bin/velmo-ai-infer-frame bin/velmo-ai-model-tool lib/libonnxruntime.so.1 \
         share/velmo-ai/config.example.toml share/velmo-ai/docs/api.md share/velmo-ai/docs/velmo-ai.service; do
  [ -e "$root/$f" ] || fail "the installed tree has no $f"
done
as=()
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null && id nobody >/dev/null 2>&1; then
  as=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups --)
else
  echo "install_test: running as $(id -un), not as another account (needs root and setpriv)"
fi
run() { "${as[@]}" env -u HOME -u LD_LIBRARY_PATH "$@"; }

[ "$(run "$root/bin/velmo-ai" --version 2>"$tmp/version.log")" = "velmo-ai 0.3.0" ] || fail "velmo-ai --version"
run "$root/bin/velmo-ai-infer-frame" --help >"$tmp/infer.log" 2>&1 || fail "velmo-ai-infer-frame --help"
run "$root/bin/velmo-ai-model-tool" --help >"$tmp/tool.log" 2>&1 || fail "velmo-ai-model-tool --help"

# A short start (the model is missing, so it serves with the model not ready), then SIGTERM.
port="$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
printf '[Server]\nPort = %s\n[AI]\nEnabled = true\n[Model]\nManifest = "m.json"\nRequireSignature = false\n' \
  "$port" >"$tmp/config.toml"
chmod 644 "$tmp/config.toml"
(cd / && exec "${as[@]}" env -u HOME -u LD_LIBRARY_PATH "$root/bin/velmo-ai" --config "$tmp/config.toml") \
  2>"$tmp/service.log" &
pid=$!
for _ in $(seq 300); do
  grep -q 'api: server listening' "$tmp/service.log" || { kill -0 "$pid" 2>/dev/null && sleep 0.1 && continue; }
  break
done
grep -q 'api: server listening' "$tmp/service.log" || fail "the installed service did not start"
grep -q "$root/lib/libonnxruntime.so.1" "/proc/$pid/maps" || fail "the service did not load the installed ONNX Runtime"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=""
[ "$status" = 0 ] || fail "the installed service exited with $status on SIGTERM"
echo "install_test: ok"
