#!/usr/bin/env bash
# RNNoise (BSD-3) as WebAssembly, from @sapphi-red/web-noise-suppressor 0.4.1;
# the build translates dist/rnnoise.wasm to C with wasm2c.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dir=$("$root/scripts/fetch-npm" @sapphi-red/web-noise-suppressor@0.4.1 fb2f23208991c9472c8323d58ede1c9c3232bdef61f6df9f92e56fe5b52342a9)
[ -f "$dir/package/dist/rnnoise.wasm" ] || { echo "audio: rnnoise.wasm is missing from the package" >&2; exit 1; }
