#!/usr/bin/python3
"""Writes a whisper model with random weights in whisper.cpp's file format, so
that the whole recognition path runs without real weights (its text means
nothing). Usage: random-whisper.py OUT.bin [tiny|large-v3] [seed]"""
import struct
import sys

import numpy as np

SHAPES = {
    # vocab, audio ctx, state, heads, layers, text ctx, mels
    "tiny": (51865, 1500, 64, 2, 1, 448, 80),
    "large-v3": (51866, 1500, 1280, 20, 32, 448, 128),
}
TEXT_TOKENS = 50257  # ordinary tokens in the file; the library adds the special ones
END_FROM = 40  # decoder position (prompt included) from which a window ends


def mel_filters(n_mel, n_fft=201, rate=16000):
    mel = lambda f: 2595 * np.log10(1 + f / 700)
    hz = lambda m: 700 * (10 ** (m / 2595) - 1)
    edges = hz(np.linspace(mel(0), mel(rate / 2), n_mel + 2))
    bins = np.linspace(0, rate / 2, n_fft)
    out = np.zeros((n_mel, n_fft), np.float32)
    for i in range(n_mel):
        lo, mid, hi = edges[i:i + 3]
        out[i] = np.clip(np.minimum((bins - lo) / (mid - lo), (hi - bins) / (hi - mid)), 0, None)
    return out


def vocabulary(rng):
    letters = np.array(list("etaoinshrdlucmfwypvbgkjqxz"))
    words = []
    for i in range(TEXT_TOKENS):
        if i == 220:
            words.append(b" ")
        elif i < 256:
            words.append(letters[i % 26].encode())
        else:
            n = int(rng.integers(2, 7))
            words.append(b" " + "".join(rng.choice(letters, n)).encode())
    return words


def main(out_path, size="tiny", seed=7):
    n_vocab, a_ctx, state, heads, layers, t_ctx, n_mels = SHAPES[size]
    rng = np.random.default_rng(seed)
    f16, f32 = np.float16, np.float32

    with open(out_path, "wb") as out:
        w = lambda *v: out.write(struct.pack(f"<{len(v)}i", *v))
        w(0x67676D6C)
        w(n_vocab, a_ctx, state, heads, layers, t_ctx, state, heads, layers, n_mels, 1)  # ftype 1: f16
        filters = mel_filters(n_mel=n_mels)
        w(*filters.shape)
        out.write(filters.tobytes())
        words = vocabulary(rng)
        w(len(words))
        for word in words:
            w(len(word))
            out.write(word)

        # One direction of the decoder's state that only the end-of-text
        # token answers strongly, and which the positional embedding takes on
        # late in a window: every window then ends after a few dozen tokens.
        u = rng.standard_normal(state).astype(np.float32)
        u /= np.linalg.norm(u)

        def tensor(name, shape, kind, scale=0.02, value=None, shaped=None):
            # shape is numpy order (slowest first); the file wants ggml order
            if value is not None:
                data = np.full(shape, value, np.float32)
            else:
                data = rng.standard_normal(shape, dtype=np.float32) * scale
            if shaped:
                data = shaped(data)
            data = data.astype(kind)
            dims = list(reversed(shape))
            key = name.encode()
            w(len(dims), len(key), 1 if kind is f16 else 0)
            w(*dims)
            out.write(key)
            out.write(data.tobytes())

        def block(prefix, cross):
            parts = ["attn"] + (["cross_attn"] if cross else [])
            for p in parts:
                tensor(f"{prefix}.{p}_ln.weight", (state,), f32, value=1.0)
                tensor(f"{prefix}.{p}_ln.bias", (state,), f32, value=0.0)
                tensor(f"{prefix}.{p}.query.weight", (state, state), f16)
                tensor(f"{prefix}.{p}.query.bias", (state,), f32, value=0.0)
                tensor(f"{prefix}.{p}.key.weight", (state, state), f16)
                tensor(f"{prefix}.{p}.value.weight", (state, state), f16)
                tensor(f"{prefix}.{p}.value.bias", (state,), f32, value=0.0)
                tensor(f"{prefix}.{p}.out.weight", (state, state), f16)
                tensor(f"{prefix}.{p}.out.bias", (state,), f32, value=0.0)
            tensor(f"{prefix}.mlp_ln.weight", (state,), f32, value=1.0)
            tensor(f"{prefix}.mlp_ln.bias", (state,), f32, value=0.0)
            tensor(f"{prefix}.mlp.0.weight", (4 * state, state), f16)
            tensor(f"{prefix}.mlp.0.bias", (4 * state,), f32, value=0.0)
            tensor(f"{prefix}.mlp.2.weight", (state, 4 * state), f16)
            tensor(f"{prefix}.mlp.2.bias", (state,), f32, value=0.0)

        tensor("encoder.positional_embedding", (a_ctx, state), f32)
        tensor("encoder.conv1.weight", (state, n_mels, 3), f16, scale=0.1)
        tensor("encoder.conv1.bias", (state, 1), f32, value=0.0)
        tensor("encoder.conv2.weight", (state, state, 3), f16, scale=0.1)
        tensor("encoder.conv2.bias", (state, 1), f32, value=0.0)
        for i in range(layers):
            block(f"encoder.blocks.{i}", cross=False)
        tensor("encoder.ln_post.weight", (state,), f32, value=1.0)
        tensor("encoder.ln_post.bias", (state,), f32, value=0.0)

        def late_end(pe):
            ramp = np.clip((np.arange(t_ctx) - END_FROM) / 5.0, 0, 1) * 30.0 * np.sqrt(state / 64.0)
            return pe + ramp[:, None] * u[None, :]

        def end_token(te):
            te[TEXT_TOKENS] = 12.0 * u  # the multilingual end-of-text token
            return te

        # A strong position keeps the tied embedding from repeating its input token.
        tensor("decoder.positional_embedding", (t_ctx, state), f32, scale=3.0, shaped=late_end)
        tensor("decoder.token_embedding.weight", (n_vocab, state), f16, scale=1.0, shaped=end_token)
        for i in range(layers):
            block(f"decoder.blocks.{i}", cross=True)
        tensor("decoder.ln.weight", (state,), f32, value=1.0)
        tensor("decoder.ln.bias", (state,), f32, value=0.0)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else "tiny", int(sys.argv[3]) if len(sys.argv) > 3 else 7)
