"""Reads a TFLite flatbuffer by the schema's field numbers (no generated code)."""
import struct

import numpy as np


class Table:
    def __init__(self, buf, pos):
        self.buf = buf
        self.pos = pos
        vt = pos - struct.unpack_from('<i', buf, pos)[0]
        self.vt = vt
        self.vtlen = struct.unpack_from('<H', buf, vt)[0]

    def _off(self, field):
        o = 4 + 2 * field
        if o >= self.vtlen:
            return 0
        return struct.unpack_from('<H', self.buf, self.vt + o)[0]

    def has(self, field):
        return self._off(field) != 0

    def scalar(self, field, fmt, default=0):
        o = self._off(field)
        if not o:
            return default
        return struct.unpack_from('<' + fmt, self.buf, self.pos + o)[0]

    def _indirect(self, field):
        o = self._off(field)
        if not o:
            return None
        p = self.pos + o
        return p + struct.unpack_from('<I', self.buf, p)[0]

    def table(self, field):
        p = self._indirect(field)
        return Table(self.buf, p) if p is not None else None

    def string(self, field):
        p = self._indirect(field)
        if p is None:
            return None
        n = struct.unpack_from('<I', self.buf, p)[0]
        return bytes(self.buf[p + 4:p + 4 + n]).decode('utf-8')

    def vector_raw(self, field):
        p = self._indirect(field)
        if p is None:
            return None, 0
        n = struct.unpack_from('<I', self.buf, p)[0]
        return p + 4, n

    def scalars(self, field, fmt):
        p, n = self.vector_raw(field)
        if p is None:
            return []
        size = struct.calcsize('<' + fmt)
        return list(struct.unpack_from('<%d%s' % (n, fmt), self.buf, p)) if n else []

    def bytes(self, field):
        p, n = self.vector_raw(field)
        if p is None:
            return b''
        return bytes(self.buf[p:p + n])

    def tables(self, field):
        p, n = self.vector_raw(field)
        if p is None:
            return []
        out = []
        for i in range(n):
            q = p + 4 * i
            out.append(Table(self.buf, q + struct.unpack_from('<I', self.buf, q)[0]))
        return out


TENSOR_TYPES = {0: np.float32, 1: np.float16, 2: np.int32, 3: np.uint8, 4: np.int64, 9: np.int8}

BUILTIN = {
    0: 'ADD', 1: 'AVERAGE_POOL_2D', 2: 'CONCATENATION', 3: 'CONV_2D', 4: 'DEPTHWISE_CONV_2D', 6: 'DEQUANTIZE',
    9: 'FULLY_CONNECTED', 14: 'LOGISTIC', 17: 'MAX_POOL_2D', 18: 'MUL', 19: 'RELU', 21: 'RELU6', 22: 'RESHAPE',
    23: 'RESIZE_BILINEAR', 25: 'SOFTMAX', 28: 'TANH', 32: 'CUSTOM', 34: 'PAD', 39: 'TRANSPOSE', 40: 'MEAN',
    41: 'SUB', 42: 'DIV', 54: 'PRELU', 67: 'TRANSPOSE_CONV', 97: 'RESIZE_NEAREST_NEIGHBOR', 117: 'HARD_SWISH',
}


class Tensor:
    def __init__(self, t, buffers):
        self.shape = t.scalars(0, 'i')
        self.type = t.scalar(1, 'b', 0)
        self.name = t.string(3) or ''
        b = t.scalar(2, 'I', 0)
        data = buffers[b].bytes(0) if b < len(buffers) else b''
        self.data = None
        if data:
            dt = TENSOR_TYPES[self.type]
            self.data = np.frombuffer(data, dtype=dt).reshape(self.shape if self.shape else ())
            if self.data.dtype == np.float16:
                self.data = self.data.astype(np.float32)


class Operator:
    def __init__(self, o, codes):
        self.code, self.custom = codes[o.scalar(0, 'I', 0)]
        self.name = BUILTIN.get(self.code, 'OP%d' % self.code) if self.code != 32 else 'CUSTOM:' + self.custom
        self.inputs = o.scalars(1, 'i')
        self.outputs = o.scalars(2, 'i')
        self.options = o.table(4)
        self.custom_options = o.bytes(5)


class Model:
    def __init__(self, path):
        with open(path, 'rb') as f:
            buf = f.read()
        root = Table(buf, struct.unpack_from('<I', buf, 0)[0])
        codes = []
        for c in root.tables(1):
            code = c.scalar(3, 'i', 0)
            deprecated = c.scalar(0, 'b', 0)
            codes.append((max(code, deprecated), c.string(1) or ''))
        buffers = root.tables(4)
        graph = root.tables(2)[0]
        self.tensors = [Tensor(t, buffers) for t in graph.tables(0)]
        self.inputs = graph.scalars(1, 'i')
        self.outputs = graph.scalars(2, 'i')
        self.operators = [Operator(o, codes) for o in graph.tables(3)]
