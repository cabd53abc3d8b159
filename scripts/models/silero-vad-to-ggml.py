#!/usr/bin/python3
"""Converts the silero voice-activity ONNX model (16 kHz) into whisper.cpp's
VAD file format. Usage: silero-vad-to-ggml.py IN.onnx OUT.bin"""
import struct
import sys

import numpy as np
import onnx
from onnx import numpy_helper

VERSION = (5, 1, 2)


def main(src, dst):
    weights = {t.name.replace("model.", "_model.", 1): numpy_helper.to_array(t)
               for t in onnx.load(src).graph.initializer}
    order = []
    for i in range(4):
        order += [f"_model.encoder.{i}.reparam_conv.weight", f"_model.encoder.{i}.reparam_conv.bias"]
    order += ["_model.decoder.rnn.weight_ih", "_model.decoder.rnn.weight_hh",
              "_model.decoder.rnn.bias_ih", "_model.decoder.rnn.bias_hh",
              "_model.decoder.decoder.2.weight", "_model.decoder.decoder.2.bias",
              "_model.stft.forward_basis_buffer"]
    missing = [k for k in order if k not in weights]
    if missing:
        sys.exit(f"silero-vad-to-ggml: the model lacks {missing}")

    with open(dst, "wb") as out:
        w = lambda *v: out.write(struct.pack(f"<{len(v)}i", *v))
        w(0x67676D6C)
        kind = b"silero-16k"
        w(len(kind))
        out.write(kind)
        w(*VERSION)
        w(512, 64, 4)  # window, context, encoder layers
        for cin, cout in zip([129, 128, 64, 64], [128, 64, 64, 128]):
            w(cin, cout, 3)
        w(128, 128, 128, 1)  # LSTM input and hidden sizes, final conv in and out
        for key in order:
            data = weights[key]
            if key.endswith("forward_basis_buffer"):
                shape = [data.shape[2], data.shape[1], data.shape[0]]
                half = True
            else:
                data = np.squeeze(data)
                shape = list(reversed(data.shape))[:4]
                half = key.endswith("weight") and ("encoder" in key or "decoder.decoder.2" in key)
            data = data.astype(np.float16 if half else np.float32)
            name = key.encode()
            w(len(shape), len(name), 1 if half else 0)
            w(*shape) if shape else None
            out.write(name)
            out.write(np.ascontiguousarray(data).tobytes())


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
