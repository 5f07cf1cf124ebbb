#!/usr/bin/python3
"""The telemetry batch read through the C interface (ctypes) and checked by Python's own
JSON parser and NumPy: escaping of hostile names and texts, aggregates and quantiles
(over wide ranges too), the caps and their dropped counts, the size-query convention of
the read, batch ids and claims by id, and the window a batch covers."""
import ctypes
import json
import random
import sys
import time

import numpy as np

lib = ctypes.CDLL(sys.argv[1])
lib.ka_tel_record.argtypes = [ctypes.c_char_p, ctypes.c_double]
lib.ka_tel_record_str.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
lib.ka_tel_pending_json.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
lib.ka_tel_pending_json.restype = ctypes.c_int64
lib.ka_tel_flush.restype = ctypes.c_int64
lib.ka_tel_flush_batch.argtypes = [ctypes.c_uint64]
lib.ka_tel_flush_batch.restype = ctypes.c_int64
lib.ka_tel_last_error.restype = ctypes.c_char_p

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def read_batch():
    need = lib.ka_tel_pending_json(None, 0)
    buf = ctypes.create_string_buffer(need)
    got = lib.ka_tel_pending_json(buf, need)
    check(got == need, f"exact read returns {got}, size query said {need}")
    raw = buf.raw[: need - 1]
    check(b"\0" not in raw, "document holds a NUL")
    return need, raw, json.loads(raw.decode("utf-8"))  # strict: must be valid UTF-8


def now_ms():
    return time.time() * 1000


rng = random.Random(7)
flush_from = now_ms()
lib.ka_tel_flush()
flush_to = now_ms()

# Hostile names and texts: quotes, backslashes, control characters, invalid UTF-8
# (lone continuation bytes, overlong forms, surrogates, cut sequences), and a 1 MB text.
hostile = [b'quote"d', b"back\\slash", b"ctl\x01\x1f\x7f", b"bad\xff\xfe", b"\xc0\xaf",
           b"\xed\xa0\x80", b"cut\xe2\x82", "ünï€😀".encode(), b"tab\tnl\n"]
values = {}
for i in range(4000):
    name = rng.choice(hostile + [b"lat.ms", b"fps"])
    v = rng.choice([rng.lognormvariate(3, 1.5), -rng.expovariate(0.1), 0.0,
                    rng.uniform(-1e-12, 1e-12), rng.uniform(1e6, 1e9)])
    check(lib.ka_tel_record(name, v) == 1, f"record {name!r} refused")
    values.setdefault(name, []).append(v)
texts = []
for i in range(300):
    name = rng.choice(hostile)
    n = rng.choice([0, 1, 17, 300])
    text = bytes(rng.randrange(1, 256) for _ in range(n))
    check(lib.ka_tel_record_str(name, text) == 1, "record_str refused")
    texts.append((name, text))
big = ("é" * 600_000).encode()[:1_000_001]  # ends inside a character
check(lib.ka_tel_record_str(b"big", big) == 1, "1 MB text refused")

need, raw, doc = read_batch()
check(doc["format"] == "ka_telemetry.v1", "format key")
for key in ("library", "cpu_model", "arch", "cores", "vector_target", "onnxruntime", "ffmpeg", "os"):
    check(key in doc["device"], f"device lacks {key}")
check(doc["batch"]["events"] == 4000 + 300 + 1, f"events {doc['batch']['events']}")
# The batch's window runs from the flush before it to its seal, not from its first event.
check(int(flush_from) <= doc["batch"]["start_unix_ms"] <= flush_to, f"window start {doc['batch']}")
check(doc["batch"]["start_unix_ms"] <= doc["batch"]["end_unix_ms"] <= now_ms(), "time span")


def shown(name):  # how the document spells a byte name
    return name.decode("utf-8", errors="replace")


metrics = {m["name"]: m for m in doc["metrics"]}
for name, vs in values.items():
    m = metrics.get(shown(name))
    check(m is not None, f"no metric for {name!r}")
    if m is None:
        continue
    a = np.array(vs)
    check(m["count"] == a.size, f"{name!r} count")
    check(m["min"] == a.min() and m["max"] == a.max(), f"{name!r} min/max")
    check(abs(m["sum"] - a.sum()) <= 1e-9 * np.abs(a).sum(), f"{name!r} sum")
    for key, q in (("p50", 0.5), ("p90", 0.9), ("p99", 0.99)):
        ref = np.quantile(a, q, method="lower")
        tol = 0.01 * abs(ref) + 1e-9  # magnitudes below 1e-9 count as zero
        check(abs(m[key] - ref) <= tol, f"{name!r} {key} {m[key]} vs numpy {ref}")

doc_texts = doc["texts"]
check(len(doc_texts) == len(texts) + 1, "text count")
for (name, text), t in zip(texts, doc_texts):
    check(t["name"] == shown(name), "text name")
    check(t["text"] == text.decode("utf-8", errors="replace"), f"text {text!r} -> {t['text']!r}")
cut = doc_texts[-1]
check(cut["text"] == "é" * 32768 and cut["cut_bytes"] == len(big) - 65536, "1 MB text cut at 64 KiB")

# Size query: capacity 0, one short (nothing copied, out[0] = 0), exact; reads repeat
# byte for byte until the flush.
short = ctypes.create_string_buffer(b"x" * need)
check(lib.ka_tel_pending_json(short, need - 1) == need and short.raw[0] == 0, "one short")
check(lib.ka_tel_pending_json(None, 0) == need, "size query after reads")
check(read_batch()[1] == raw, "second read differs")
check(lib.ka_tel_record(b"after.seal", 1.0) == 1, "record after seal")
check(read_batch()[1] == raw, "sealed read changed by a later event")
check(lib.ka_tel_flush() == 4301, "flush count")
_, _, nxt = read_batch()
check([m["name"] for m in nxt["metrics"]] == ["after.seal"], "event after the seal went missing")
check(lib.ka_tel_flush() == 1, "second flush")

# Refusals name their reason and record nothing.
for name, value in ((None, 1.0), (b"", 1.0), (b"n" * 65, 1.0), (b"nan", float("nan")),
                    (b"inf", float("inf"))):
    check(lib.ka_tel_record(name, value) == 0 and lib.ka_tel_last_error().startswith(b"ka_tel_record: "),
          f"record({name!r}, {value}) not refused")
check(lib.ka_tel_record(b"n" * 64, 1.0) == 1 and lib.ka_tel_last_error() == b"", "64-byte name")
check(lib.ka_tel_flush() == 1, "refused events were counted")

# Caps: 256 names, then drops counted; 4096 texts, the oldest dropped first.
for i in range(300):
    lib.ka_tel_record(f"name{i}".encode(), float(i))
for i in range(5000):
    lib.ka_tel_record_str(b"name0", str(i).encode())
_, _, capped = read_batch()
check(len(capped["metrics"]) == 256 and capped["batch"]["dropped_names"] == 44, "names cap")
check(len(capped["texts"]) == 4096 and capped["batch"]["dropped_texts"] == 5000 - 4096, "texts cap")
check(capped["texts"][0]["text"] == str(5000 - 4096) and capped["texts"][-1]["text"] == "4999",
      "oldest texts not the ones dropped")
check(capped["batch"]["events"] == 5300, "events counts the dropped")
# The byte cap: 100 texts of 60 KiB hold 6 MB; only the newest fit in 4 MiB.
lib.ka_tel_flush()
for i in range(100):
    lib.ka_tel_record_str(b"bulk", (f"{i:03d}" + "x" * 61437).encode())
_, _, bulk = read_batch()
kept = [int(t["text"][:3]) for t in bulk["texts"]]
check(kept == list(range(100 - len(kept), 100)) and 4 << 20 >= len(kept) * 61440 > (4 << 20) - 61440,
      f"byte cap kept {len(kept)} texts")
lib.ka_tel_flush()

# A batch that waited before its first event still starts at the flush before it, and
# ends at its read.
flush_from = now_ms()
lib.ka_tel_flush()
flush_to = now_ms()
time.sleep(0.3)
lib.ka_tel_record(b"late", 1.0)
read_from = now_ms()
_, _, late = read_batch()
check(int(flush_from) <= late["batch"]["start_unix_ms"] <= flush_to, f"window start after a wait {late['batch']}")
check(int(read_from) <= late["batch"]["end_unix_ms"] <= now_ms(), f"window end {late['batch']}")

# Batch ids: one per sealed batch, increasing; a claim by id clears that batch only,
# once; a stale claim (another reader's, already cleared) clears nothing of the next.
first = late["batch"]["id"]
check(first >= 1, "batch id")
for bad in (0, first + 1, 2**64 - 1):
    check(lib.ka_tel_flush_batch(bad) == -1 and lib.ka_tel_last_error().startswith(b"ka_tel_flush_batch: "),
          f"claim of id {bad} never handed out")
check(lib.ka_tel_flush_batch(first) == 1 and lib.ka_tel_last_error() == b"", "claim by id")
check(lib.ka_tel_flush_batch(first) == 0, "second claim of a cleared batch")
lib.ka_tel_record(b"next", 1.0)
_, _, nxt = read_batch()
check(nxt["batch"]["id"] == first + 1, f"next batch id {nxt['batch']['id']} after {first}")
check(lib.ka_tel_flush_batch(first) == 0 and read_batch()[2]["batch"]["id"] == first + 1,
      "a stale claim cleared the next batch")
check(lib.ka_tel_flush() == 1, "flush after claims")
check(lib.ka_tel_flush_batch(first + 1) == 0, "a batch cleared by ka_tel_flush reads as cleared")

# Quantiles over wide ranges and of small integers against NumPy's at the same rank:
# exact for a name with at most 64 distinct values, else within 1% from 1e-9 to 1e19.
wide = {b"ints.1to3": [float(rng.randint(1, 3)) for _ in range(1000)],
        b"ints.0to199": [float(rng.randrange(200)) for _ in range(1000)],
        b"micro": [1e-6 * rng.lognormvariate(0, 2) for _ in range(3000)],
        b"tera": [1e12 * rng.lognormvariate(0, 2) for _ in range(3000)],
        b"peta": [1e15 * rng.lognormvariate(0, 2) for _ in range(3000)],
        b"neg.peta": [-1e15 * rng.lognormvariate(0, 2) for _ in range(3000)],
        b"unix.ms": [round(now_ms()) + rng.randrange(60000) for _ in range(3000)],
        b"huge.few": [rng.choice((-1e300, 1e200, 3e250)) for _ in range(500)]}
for name, vs in wide.items():
    for v in vs:
        lib.ka_tel_record(name, v)
_, _, wdoc = read_batch()
for m in wdoc["metrics"]:
    a = np.array(wide[m["name"].encode()])
    exact = np.unique(a).size <= 64
    for key, q in (("p50", 0.5), ("p90", 0.9), ("p99", 0.99)):
        ref = np.quantile(a, q, method="lower")
        tol = 0.0 if exact else 0.01 * abs(ref) + 1e-9
        check(abs(m[key] - ref) <= tol, f"{m['name']} {key} {m[key]} vs numpy {ref}")
lib.ka_tel_flush()

if failures:
    sys.exit(f"{len(failures)} telemetry checks failed")
print("telemetry JSON checks passed")
