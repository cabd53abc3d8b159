#!/usr/bin/python3
"""A slow, plain NumPy evaluator of the same TFLite graphs, channels-last as
TFLite computes them: the independent reference the converter is checked
against. Usage: tflite_reference.py MODEL.tflite  (prints the outputs'
sums and a few values for the fixed input)."""
import struct
import sys

import numpy as np

import tflite_reader


def same_pads(n, k, s, d=1):
    out = -(-n // s)
    total = max((out - 1) * s + (k - 1) * d + 1 - n, 0)
    return total // 2, total - total // 2


def windows(x, kh, kw, sh, sw, padding, value=0.0):
    n, h, w, c = x.shape
    if padding == 0:
        ph, pw = same_pads(h, kh, sh), same_pads(w, kw, sw)
    else:
        ph, pw = (0, 0), (0, 0)
    x = np.pad(x, ((0, 0), ph, pw, (0, 0)), constant_values=value)
    oh = (x.shape[1] - kh) // sh + 1
    ow = (x.shape[2] - kw) // sw + 1
    s = x.strides
    return np.lib.stride_tricks.as_strided(x, (n, oh, ow, kh, kw, c), (s[0], s[1] * sh, s[2] * sw, s[1], s[2], s[3]))


def act(x, code):
    if code == 1:
        return np.maximum(x, 0)
    if code == 3:
        return np.clip(x, 0, 6)
    return x


def resize_bilinear(x, oh, ow, half_pixel):
    n, h, w, c = x.shape

    def coords(o, i):
        if half_pixel:
            src = (np.arange(o) + 0.5) * (i / o) - 0.5
        else:
            src = np.arange(o) * (i / o)
        src = np.clip(src, 0, i - 1)
        lo = np.floor(src).astype(int)
        hi = np.minimum(lo + 1, i - 1)
        return lo, hi, src - lo

    y0, y1, fy = coords(oh, h)
    x0, x1, fx = coords(ow, w)
    top = x[:, y0][:, :, x0] * (1 - fx)[None, None, :, None] + x[:, y0][:, :, x1] * fx[None, None, :, None]
    bot = x[:, y1][:, :, x0] * (1 - fx)[None, None, :, None] + x[:, y1][:, :, x1] * fx[None, None, :, None]
    return top * (1 - fy)[None, :, None, None] + bot * fy[None, :, None, None]


def run(model, inputs):
    vals = {}
    for i, t in enumerate(model.tensors):
        if t.data is not None:
            vals[i] = t.data.astype(np.float32) if t.data.dtype != np.int32 else t.data
    for i, x in zip(model.inputs, inputs):
        vals[i] = x
    for op in model.operators:
        o = op.options
        x = vals.get(op.inputs[0])
        name = op.name
        if name == 'DEQUANTIZE':
            y = x.astype(np.float32)
        elif name == 'CONV_2D':
            w, b = vals[op.inputs[1]], vals[op.inputs[2]]
            win = windows(x, w.shape[1], w.shape[2], o.scalar(2, 'i', 1), o.scalar(1, 'i', 1), o.scalar(0, 'b', 0))
            y = act(np.einsum('nhwijc,oijc->nhwo', win, w, optimize=True) + b, o.scalar(3, 'b', 0))
        elif name == 'DEPTHWISE_CONV_2D':
            w, b = vals[op.inputs[1]], vals[op.inputs[2]]
            win = windows(x, w.shape[1], w.shape[2], o.scalar(2, 'i', 1), o.scalar(1, 'i', 1), o.scalar(0, 'b', 0))
            y = act(np.einsum('nhwijc,ijc->nhwc', win, w[0], optimize=True) + b, o.scalar(4, 'b', 0))
        elif name in ('ADD', 'MUL'):
            a, b = x, vals[op.inputs[1]]
            y = act(a + b if name == 'ADD' else a * b, o.scalar(0, 'b', 0) if o else 0)
        elif name == 'RELU':
            y = np.maximum(x, 0)
        elif name == 'LOGISTIC':
            y = 1 / (1 + np.exp(-x))
        elif name == 'HARD_SWISH':
            y = x * np.clip(x + 3, 0, 6) / 6
        elif name in ('MAX_POOL_2D', 'AVERAGE_POOL_2D'):
            kh, kw = o.scalar(4, 'i', 1), o.scalar(3, 'i', 1)
            sh, sw = o.scalar(2, 'i', 1), o.scalar(1, 'i', 1)
            if name == 'MAX_POOL_2D':
                y = windows(x, kh, kw, sh, sw, o.scalar(0, 'b', 0), -np.inf).max(axis=(3, 4))
            else:
                ones = np.ones_like(x[..., :1])
                total = windows(x, kh, kw, sh, sw, o.scalar(0, 'b', 0)).sum(axis=(3, 4))
                count = windows(ones, kh, kw, sh, sw, o.scalar(0, 'b', 0)).sum(axis=(3, 4))
                y = total / count
        elif name == 'PAD':
            y = np.pad(x, vals[op.inputs[1]].astype(int))
        elif name == 'RESIZE_BILINEAR':
            size = vals[op.inputs[1]]
            y = resize_bilinear(x, size[0], size[1], o.scalar(3, 'b', 0))
        elif name == 'RESHAPE':
            y = x.reshape(model.tensors[op.outputs[0]].shape)
        elif name == 'CONCATENATION':
            y = np.concatenate([vals[i] for i in op.inputs], axis=o.scalar(0, 'i', 0))
        elif name == 'CUSTOM:Convolution2DTransposeBias':
            _, sw, sh = struct.unpack_from('<iii', op.custom_options, 0)
            w, b = vals[op.inputs[1]], vals[op.inputs[2]]
            n, h, wd, c = x.shape
            kh, kw = w.shape[1], w.shape[2]
            y = np.zeros((n, (h - 1) * sh + kh, (wd - 1) * sw + kw, w.shape[0]), np.float32)
            for i in range(kh):
                for j in range(kw):
                    y[:, i:i + (h - 1) * sh + 1:sh, j:j + (wd - 1) * sw + 1:sw] += np.einsum('nhwc,oc->nhwo', x, w[:, i, j])
            oshape = model.tensors[op.outputs[0]].shape
            y = y[:, :oshape[1], :oshape[2]] + b
        else:
            raise ValueError(name)
        vals[op.outputs[0]] = y.astype(np.float32)
    return [vals[i] for i in model.outputs]


def fixed_input(shape):
    """The fixed test input: a smooth pattern in [-1, 1] that every tool can rebuild."""
    n, h, w, c = shape
    y, x, k = np.meshgrid(np.arange(h), np.arange(w), np.arange(c), indexing='ij')
    return np.sin(0.05 * x + 0.09 * y + 1.7 * k).astype(np.float32)[None]


if __name__ == '__main__':
    m = tflite_reader.Model(sys.argv[1])
    outs = run(m, [fixed_input(m.tensors[m.inputs[0]].shape)])
    for o in outs:
        flat = o.reshape(-1)
        print('%d %.6f %.6f %.6f %.6f' % (flat.size, flat.sum(), np.abs(flat).sum(), flat[0], flat[-1]))
