#!/usr/bin/env bash
# The main job: installs what is missing, builds, makes a signed demo model package and runs
# velmo-ai on it with the example configuration (Ctrl-C stops it).
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
sed 's/^Port = .*/Port = '"${VELMO_DEMO_PORT:-18090}"'/' config.example.toml > "$demo/config.toml"

exec "$root/build/service/velmo-ai" --config "$demo/config.toml"
