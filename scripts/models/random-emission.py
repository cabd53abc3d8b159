#!/usr/bin/python3
"""Writes a CTC emission model with random weights as ONNX: input "audio"
f32 [1, 240000], output "logp" [1, 750, 32] log-probabilities, one frame per
320 samples. Usage: random-emission.py OUT.onnx [tiny|flat|large] [f32|f16|int8] [seed]

tiny: one strided convolution and a projection (for tests); flat: the same
with a two-dimensional output, which the engine must refuse.
large: the wav2vec2-large layout (seven-layer convolutional front end,
positional convolution, 24 transformer layers of width 1024) for the
alignment benchmark; int8 stores its matrices in 8 bits and multiplies them
with dynamically quantised activations."""
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

SAMPLES, VOCAB = 240000, 32


class Graph:
    def __init__(self, seed, int8=False):
        self.int8 = int8
        self.rng = np.random.default_rng(seed)
        self.nodes, self.inits, self.n = [], [], 0

    def name(self, base):
        self.n += 1
        return f"{base}_{self.n}"

    def weight(self, shape, scale=None, value=None):
        if value is not None:
            data = np.full(shape, value, np.float32)
        else:
            fan_in = int(np.prod(shape[1:])) if len(shape) > 1 else shape[0]
            data = self.rng.standard_normal(shape, dtype=np.float32) * (scale or 1.0 / np.sqrt(fan_in))
        n = self.name("w")
        self.inits.append(numpy_helper.from_array(data.astype(np.float32), n))
        return n

    def const(self, values, dtype=np.int64):
        n = self.name("c")
        self.inits.append(numpy_helper.from_array(np.array(values, dtype), n))
        return n

    def op(self, kind, inputs, **attrs):
        out = self.name(kind.lower())
        self.nodes.append(helper.make_node(kind, inputs, [out], **attrs))
        return out


def dense(g, x, rows, cols):
    """x @ W + b, W random; in 8 bits when the graph is int8."""
    if not g.int8:
        return g.op("Add", [g.op("MatMul", [x, g.weight((rows, cols))]), g.weight((cols,), value=0.0)])
    w = g.rng.standard_normal((rows, cols), dtype=np.float32) / np.sqrt(rows)
    scale = np.float32(np.abs(w).max() / 127.0)
    q = np.clip(np.round(w / scale), -127, 127).astype(np.int8)
    wq = g.name("wq")
    g.inits.append(numpy_helper.from_array(q, wq))
    xq, xs, xz = g.name("xq"), g.name("xs"), g.name("xz")
    g.nodes.append(helper.make_node("DynamicQuantizeLinear", [x], [xq, xs, xz]))
    y = g.op("MatMulInteger", [xq, wq, xz, g.const(np.int8(0), np.int8)])
    y = g.op("Mul", [g.op("Cast", [y], to=TensorProto.FLOAT), g.op("Mul", [xs, g.const(scale, np.float32)])])
    return g.op("Add", [y, g.weight((cols,), value=0.0)])


def tiny(g, x):
    x = g.op("Reshape", [x, g.const([1, 1, SAMPLES])])
    x = g.op("Conv", [x, g.weight((16, 1, 320)), g.weight((16,), value=0.0)], strides=[320])
    x = g.op("Relu", [x])
    x = g.op("Conv", [x, g.weight((VOCAB, 16, 1)), g.weight((VOCAB,), value=0.0)])
    return g.op("Transpose", [x], perm=[0, 2, 1])  # [1, 750, 32]


def layer_norm(g, x, width):
    return g.op("LayerNormalization", [x, g.weight((width,), value=1.0), g.weight((width,), value=0.0)], axis=-1)


def large(g, x, width=1024, layers=24, heads=16, ffn=4096):
    x = g.op("Reshape", [x, g.const([1, 1, SAMPLES])])
    for i, (k, s) in enumerate([(10, 5), (3, 2), (3, 2), (3, 2), (3, 2), (2, 2), (2, 2)]):
        x = g.op("Conv", [x, g.weight((512, 1 if i == 0 else 512, k)), g.weight((512,), value=0.0)], strides=[s])
        x = g.op("Relu", [x])
    x = g.op("Transpose", [x], perm=[0, 2, 1])  # [1, 749, 512]
    x = layer_norm(g, x, 512)
    x = dense(g, x, 512, width)
    # Positional convolution: 128 taps in 16 groups, added to the features.
    p = g.op("Transpose", [x], perm=[0, 2, 1])
    p = g.op("Conv", [p, g.weight((width, width // 16, 128)), g.weight((width,), value=0.0)], group=16, pads=[64, 64])
    p = g.op("Slice", [p, g.const([0]), g.const([-1]), g.const([2])])
    x = g.op("Add", [x, g.op("Transpose", [g.op("Relu", [p])], perm=[0, 2, 1])])
    x = layer_norm(g, x, width)
    head = width // heads
    for _ in range(layers):
        y = layer_norm(g, x, width)
        q, k, v = (dense(g, y, width, width) for _ in range(3))
        split = lambda t: g.op("Transpose", [g.op("Reshape", [t, g.const([1, -1, heads, head])])], perm=[0, 2, 1, 3])
        q, k, v = split(q), split(k), split(v)
        att = g.op("MatMul", [q, g.op("Transpose", [k], perm=[0, 1, 3, 2])])
        att = g.op("Softmax", [g.op("Mul", [att, g.const([1.0 / np.sqrt(head)], np.float32)])], axis=-1)
        y = g.op("Reshape", [g.op("Transpose", [g.op("MatMul", [att, v])], perm=[0, 2, 1, 3]), g.const([1, -1, width])])
        x = g.op("Add", [x, dense(g, y, width, width)])
        y = layer_norm(g, x, width)
        y = g.op("Relu", [dense(g, y, width, ffn)])
        x = g.op("Add", [x, dense(g, y, ffn, width)])
    x = layer_norm(g, x, width)
    return dense(g, x, width, VOCAB)


def main(out, size="tiny", kind="f32", seed=11):
    g = Graph(seed, int8=kind == "int8")
    logits = (large if size == "large" else tiny)(g, "audio")
    logp = g.op("LogSoftmax", [logits], axis=-1)
    if size == "flat":
        logp = g.op("Reshape", [logp, g.const([1, -1])])
    if kind == "f16":
        logp = g.op("Cast", [logp], to=TensorProto.FLOAT16)
    g.nodes.append(helper.make_node("Identity", [logp], ["logp"]))
    graph = helper.make_graph(
        g.nodes, "emission",
        [helper.make_tensor_value_info("audio", TensorProto.FLOAT, [1, SAMPLES])],
        [helper.make_tensor_value_info("logp", TensorProto.FLOAT16 if kind == "f16" else TensorProto.FLOAT, None)],
        g.inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    onnx.save(model, out)  # below protobuf's 2 GB even for the large layout in 32 bits


if __name__ == "__main__":
    a = sys.argv
    main(a[1], a[2] if len(a) > 2 else "tiny", a[3] if len(a) > 3 else "f32", int(a[4]) if len(a) > 4 else 11)
