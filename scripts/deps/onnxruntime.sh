#!/usr/bin/env bash
# ONNX Runtime 1.29.0 (MIT): headers and the Linux x64 library of one release.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dir=$("$root/scripts/fetch-npm" com.github.asus4.onnxruntime@0.4.9 e59788788818fdde1b2e522e766a21ba0f7d8391de55737abf81e32cc801785d)
lib="$dir/package/Plugins/Linux/x64/libonnxruntime.so"
hdr="$dir/package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64_x86_64-simulator/onnxruntime.framework/Headers/onnxruntime_c_api.h"
[ -f "$lib" ] && [ -f "$hdr" ] || { echo "onnxruntime: package layout changed" >&2; exit 1; }
grep -q 'define ORT_API_VERSION 29' "$hdr" || { echo "onnxruntime: headers are not API version 29" >&2; exit 1; }
strings "$lib" | grep -c "^1\.29\.0$" >/dev/null || { echo "onnxruntime: library is not 1.29.0" >&2; exit 1; }
# The library names itself libonnxruntime.so.1; give the loader that name.
[ -e "${lib}.1" ] || ln -s libonnxruntime.so "${lib}.1"
