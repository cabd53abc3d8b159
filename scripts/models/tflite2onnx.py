#!/usr/bin/python3
"""Converts the float TFLite models the engine uses into ONNX.

Handles the operators of the face detector and the person segmenter only.
Activations of rank 4 are kept channels-first inside the graph; the model's
own input and outputs keep the TFLite (channels-last) layout.
Usage: tflite2onnx.py IN.tflite OUT.onnx
"""
import struct
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

import tflite_reader

NHWC_TO_NCHW = [0, 3, 1, 2]
NCHW_TO_NHWC = [0, 2, 3, 1]
ACTIVATIONS = {0: None, 1: 'Relu', 3: 'Relu6'}


class Converter:
    def __init__(self, model):
        self.m = model
        self.nodes = []
        self.inits = []
        self.consts = {}
        self.names = {}
        self.counter = 0

    def fresh(self, base='v'):
        self.counter += 1
        return '%s_%d' % (base, self.counter)

    def const(self, array, base='c'):
        name = self.fresh(base)
        self.inits.append(numpy_helper.from_array(np.ascontiguousarray(array), name))
        return name

    def node(self, op, inputs, outputs=None, **attrs):
        outputs = outputs or [self.fresh(op.lower())]
        self.nodes.append(helper.make_node(op, inputs, outputs, **attrs))
        return outputs[0]

    def data(self, index):
        if index in self.consts:
            return self.consts[index]
        return self.m.tensors[index].data

    def rank(self, index):
        return len(self.m.tensors[index].shape)

    def value(self, index):
        """The ONNX name of a tensor, constants channels-first when of rank 4."""
        if index in self.names:
            return self.names[index]
        d = self.data(index)
        if d is None:
            raise ValueError('tensor %s has no producer' % self.m.tensors[index].name)
        if d.ndim == 4:
            d = d.transpose(NHWC_TO_NCHW)
        name = self.const(d.astype(np.float32) if d.dtype == np.float16 else d)
        self.names[index] = name
        return name

    def broadcastable(self, index, other):
        """A constant operand of an elementwise op, shaped for channels-first."""
        d = self.data(index)
        if d is not None and d.ndim == 1 and self.rank(other) == 4 and d.shape[0] > 1:
            return self.const(d.reshape(1, -1, 1, 1).astype(np.float32))
        return self.value(index)

    def activate(self, x, code, out):
        kind = ACTIVATIONS.get(code, 'unknown')
        if kind is None:
            return self.node('Identity', [x], [out])
        if kind == 'Relu':
            return self.node('Relu', [x], [out])
        if kind == 'Relu6':
            return self.node('Clip', [x, self.const(np.float32(0)), self.const(np.float32(6))], [out])
        raise ValueError('fused activation %d' % code)

    def out(self, op, i=0):
        index = op.outputs[i]
        name = self.fresh('t')
        self.names[index] = name
        return name

    @staticmethod
    def pad_mode(code):
        return 'SAME_UPPER' if code == 0 else 'VALID'

    def convert(self):
        m = self.m
        graph_inputs = []
        for i in m.inputs:
            t = m.tensors[i]
            graph_inputs.append(helper.make_tensor_value_info(t.name, TensorProto.FLOAT, t.shape))
            self.names[i] = self.node('Transpose', [t.name], perm=NHWC_TO_NCHW)
        for op in m.operators:
            getattr(self, 'op_' + op.name.replace(':', '_'))(op)
        graph_outputs = []
        for i in m.outputs:
            t = m.tensors[i]
            src = self.names[i]
            if len(t.shape) == 4:
                self.node('Transpose', [src], [t.name], perm=NCHW_TO_NHWC)
            else:
                self.node('Identity', [src], [t.name])
            graph_outputs.append(helper.make_tensor_value_info(t.name, TensorProto.FLOAT, t.shape))
        graph = helper.make_graph(self.nodes, 'converted', graph_inputs, graph_outputs, self.inits)
        model = helper.make_model(graph, producer_name='korvel-tflite2onnx',
                                  opset_imports=[helper.make_opsetid('', 13)])
        model.ir_version = 7
        onnx.checker.check_model(model)
        return model

    def op_DEQUANTIZE(self, op):
        d = self.data(op.inputs[0])
        if d is None:
            raise ValueError('DEQUANTIZE of a computed tensor')
        self.consts[op.outputs[0]] = d.astype(np.float32)

    def op_CONV_2D(self, op):
        o = op.options
        w = self.data(op.inputs[1]).transpose(0, 3, 1, 2)
        inputs = [self.value(op.inputs[0]), self.const(w.astype(np.float32))]
        if len(op.inputs) > 2 and op.inputs[2] >= 0:
            inputs.append(self.const(self.data(op.inputs[2]).astype(np.float32)))
        y = self.node('Conv', inputs, auto_pad=self.pad_mode(o.scalar(0, 'b', 0)),
                      strides=[o.scalar(2, 'i', 1), o.scalar(1, 'i', 1)],
                      dilations=[o.scalar(5, 'i', 1), o.scalar(4, 'i', 1)], kernel_shape=list(w.shape[2:]))
        self.activate(y, o.scalar(3, 'b', 0), self.out(op))

    def op_DEPTHWISE_CONV_2D(self, op):
        o = op.options
        w = self.data(op.inputs[1])  # [1, kh, kw, C*M]
        channels = self.m.tensors[op.inputs[0]].shape[3]
        w = w.reshape(w.shape[1], w.shape[2], w.shape[3]).transpose(2, 0, 1)[:, None, :, :]
        inputs = [self.value(op.inputs[0]), self.const(w.astype(np.float32))]
        if len(op.inputs) > 2 and op.inputs[2] >= 0:
            inputs.append(self.const(self.data(op.inputs[2]).astype(np.float32)))
        y = self.node('Conv', inputs, auto_pad=self.pad_mode(o.scalar(0, 'b', 0)), group=channels,
                      strides=[o.scalar(2, 'i', 1), o.scalar(1, 'i', 1)],
                      dilations=[o.scalar(6, 'i', 1), o.scalar(5, 'i', 1)], kernel_shape=list(w.shape[2:]))
        self.activate(y, o.scalar(4, 'b', 0), self.out(op))

    def elementwise(self, op, kind):
        a, b = op.inputs[0], op.inputs[1]
        y = self.node(kind, [self.broadcastable(a, b), self.broadcastable(b, a)])
        code = op.options.scalar(0, 'b', 0) if op.options else 0
        self.activate(y, code, self.out(op))

    def op_ADD(self, op):
        self.elementwise(op, 'Add')

    def op_MUL(self, op):
        self.elementwise(op, 'Mul')

    def op_RELU(self, op):
        self.node('Relu', [self.value(op.inputs[0])], [self.out(op)])

    def op_LOGISTIC(self, op):
        self.node('Sigmoid', [self.value(op.inputs[0])], [self.out(op)])

    def op_HARD_SWISH(self, op):
        x = self.value(op.inputs[0])
        gate = self.node('HardSigmoid', [x], alpha=1.0 / 6, beta=0.5)
        self.node('Mul', [x, gate], [self.out(op)])

    def pool(self, op, kind):
        o = op.options
        y = self.node(kind, [self.value(op.inputs[0])], auto_pad=self.pad_mode(o.scalar(0, 'b', 0)),
                      strides=[o.scalar(2, 'i', 1), o.scalar(1, 'i', 1)],
                      kernel_shape=[o.scalar(4, 'i', 1), o.scalar(3, 'i', 1)])
        self.activate(y, o.scalar(5, 'b', 0), self.out(op))

    def op_MAX_POOL_2D(self, op):
        self.pool(op, 'MaxPool')

    def op_AVERAGE_POOL_2D(self, op):
        self.pool(op, 'AveragePool')

    def op_PAD(self, op):
        p = self.data(op.inputs[1]).astype(np.int64)  # [[before, after]] per NHWC axis
        if self.rank(op.inputs[0]) == 4:
            p = p[NHWC_TO_NCHW]
        pads = np.concatenate([p[:, 0], p[:, 1]])
        self.node('Pad', [self.value(op.inputs[0]), self.const(pads)], [self.out(op)], mode='constant')

    def op_RESIZE_BILINEAR(self, op):
        size = self.data(op.inputs[1]).astype(np.int64)
        shape = self.m.tensors[op.inputs[0]].shape
        sizes = np.array([shape[0], shape[3], size[0], size[1]], dtype=np.int64)
        o = op.options
        mode = 'align_corners' if o.scalar(2, 'b', 0) else ('half_pixel' if o.scalar(3, 'b', 0) else 'asymmetric')
        self.node('Resize', [self.value(op.inputs[0]), '', '', self.const(sizes)], [self.out(op)],
                  mode='linear', coordinate_transformation_mode=mode)

    def op_RESHAPE(self, op):
        x = self.value(op.inputs[0])
        if self.rank(op.inputs[0]) == 4:
            x = self.node('Transpose', [x], perm=NCHW_TO_NHWC)
        shape = np.array(self.m.tensors[op.outputs[0]].shape, dtype=np.int64)
        out = self.out(op)
        if len(shape) == 4:
            y = self.node('Reshape', [x, self.const(shape)])
            self.node('Transpose', [y], [out], perm=NHWC_TO_NCHW)
        else:
            self.node('Reshape', [x, self.const(shape)], [out])

    def op_CONCATENATION(self, op):
        axis = op.options.scalar(0, 'i', 0)
        rank = self.rank(op.outputs[0])
        if axis < 0:
            axis += rank
        if rank == 4:
            axis = NHWC_TO_NCHW.index(axis)
        y = self.node('Concat', [self.value(i) for i in op.inputs], axis=axis)
        self.activate(y, op.options.scalar(1, 'b', 0), self.out(op))

    def op_CUSTOM_Convolution2DTransposeBias(self, op):
        padding, stride_w, stride_h = struct.unpack_from('<iii', op.custom_options, 0)
        w = self.data(op.inputs[1])  # [O, kh, kw, I]
        kh, kw = w.shape[1], w.shape[2]
        src = self.m.tensors[op.inputs[0]].shape
        dst = self.m.tensors[op.outputs[0]].shape
        pads = []
        for n_in, n_out, k, s in ((src[1], dst[1], kh, stride_h), (src[2], dst[2], kw, stride_w)):
            total = max((n_in - 1) * s + k - n_out, 0)
            pads.append((total // 2, total - total // 2))
        inputs = [self.value(op.inputs[0]), self.const(w.transpose(3, 0, 1, 2).astype(np.float32)),
                  self.const(self.data(op.inputs[2]).astype(np.float32))]
        self.node('ConvTranspose', inputs, [self.out(op)], strides=[stride_h, stride_w], kernel_shape=[kh, kw],
                  pads=[pads[0][0], pads[1][0], pads[0][1], pads[1][1]])


def main():
    model = Converter(tflite_reader.Model(sys.argv[1])).convert()
    onnx.save(model, sys.argv[2])


if __name__ == '__main__':
    main()
