#!/usr/bin/env python3
"""A Python host of the in-process engine through ctypes: the C interface
of libkorvel-engine.so, with a listener that hands each answer to the
call waiting for it. The clip is 320x240 at 30 fps, a second or longer.

    python3 host.py PREFIX/lib/libkorvel-engine.so.0 clip.mp4 work-folder
"""
import ctypes
import json
import os
import queue
import sys
import threading

LINE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t)


class Engine:
    def __init__(self, library, cache, models):
        # libgomp reads its wait policy once, as the library loads it.
        os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")
        self.lib = ctypes.CDLL(library)
        self.lib.korvel_engine_open.restype = ctypes.c_void_p
        self.lib.korvel_engine_open.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        self.lib.korvel_engine_on_line.argtypes = [ctypes.c_void_p, LINE, ctypes.c_void_p]
        self.lib.korvel_engine_send.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
        self.lib.korvel_engine_close.argtypes = [ctypes.c_void_p]
        self.handle = self.lib.korvel_engine_open(cache.encode(), models.encode())
        self.lock = threading.Lock()
        self.waiting = {}
        self.next_id = 0
        # Kept alive for as long as the engine may call it.
        self.listener = LINE(self._heard)
        self.lib.korvel_engine_on_line(self.handle, self.listener, None)

    def _heard(self, _context, line, length):
        message = json.loads(ctypes.string_at(line, length))
        if "id" in message and "method" not in message:
            with self.lock:
                answers = self.waiting.pop(message["id"], None)
            if answers:
                answers.put(message)

    def call(self, method, params):
        answers = queue.Queue()
        with self.lock:
            self.next_id += 1
            ident = self.next_id
            self.waiting[ident] = answers
        line = json.dumps({"jsonrpc": "2.0", "id": ident, "method": method, "params": params}).encode()
        if self.lib.korvel_engine_send(self.handle, line, len(line)) != 0:
            raise RuntimeError("the engine could not take " + method)
        answer = answers.get()
        if "error" in answer:
            raise RuntimeError("%s: %d %s" % (method, answer["error"]["code"], answer["error"]["message"]))
        return answer["result"]

    def close(self):
        self.lib.korvel_engine_close(self.handle)


failures = 0


def expect(what, ok, detail=""):
    global failures
    print("%s %s%s" % ("ok  " if ok else "FAIL", what, ": " + str(detail) if detail else ""))
    failures += not ok


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: host.py LIBRARY CLIP WORK-FOLDER")
    library, clip, work = sys.argv[1:]
    engine = Engine(library, os.path.join(work, "cache"), os.path.join(work, "models"))
    hello = engine.call("engine.hello", {"contractVersion": 9})
    expect("engine.hello names the version", hello["engineVersion"] == "0.1.0", hello["engineVersion"])
    probe = engine.call("asset.probe", {"path": clip})
    expect("asset.probe measures the clip", (probe["width"], probe["height"]) == (320, 240), probe)
    segment = {"assetId": "a", "srcStartUs": 0, "srcEndUs": 1000000, "outStartUs": 0, "outEndUs": 1000000,
               "speed": 1.0, "transitionIn": None,
               "transform": {"keyframes": [{"outUs": 0, "center": {"x": 0.5, "y": 0.5}, "scale": 1.0}]}}
    plan = {"version": 1, "durationUs": 1000000, "segments": [segment],
            "canvas": {"format": "horizontal", "width": 320, "height": 240, "fps": {"num": 30, "den": 1}},
            "videoOverlays": [], "textItems": [], "colorStack": [], "background": None,
            "audioMix": {"tracks": [], "targetLufs": None, "truePeakDb": -1}, "timeMap": {"entries": []}}
    out = os.path.join(work, "frame-python.png")
    frame = engine.call("render.frame", {"plan": plan, "sources": {"a": {"path": clip, "contentHash": probe["contentHash"]}},
                                         "variant": "after", "atUs": 500000, "maxLongEdge": 320, "outPath": out})
    expect("render.frame draws the frame asked for",
           (frame["width"], frame["height"], frame["ptsUs"], frame["path"]) == (320, 240, 500000, out), frame)
    with open(out, "rb") as png:
        expect("render.frame writes a PNG file", png.read(8) == b"\x89PNG\r\n\x1a\n")
    try:
        engine.call("asset.probe", {"path": os.path.join(work, "missing.mp4")})
        expect("a missing file is refused", False)
    except RuntimeError as refusal:
        expect("a missing file is refused", True, refusal)
    engine.close()
    print("python host: FAILED" if failures else "python host: every answer as expected")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
