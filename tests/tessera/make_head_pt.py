"""Writes blend-head checkpoints for the tessera tests.

A checkpoint is a ZIP archive of stored entries: "<prefix>/data.pkl", the
state dictionary pickled with protocol 2, and "<prefix>/data/<key>", one raw
little-endian storage per key. No tensor library is needed: stand-ins with
the library's module and class names make the standard pickler write the
same globals, persistent ids and reduce calls a real save writes.

usage: python3 make_head_pt.py OUTDIR    (writes OUTDIR/<variant>.pt)

Tensor values follow one rule the C++ test recomputes: element j of the
k-th tensor of the head's table is float32((k + 1) + j / 4096). The one
exception is the "match" head, whose cand.* layers score a donor by how
little it differs from the target (see match_values).
"""

import builtins
import collections
import io
import pickle
import struct
import sys
import types
import zipfile


def _stand_ins():
    torch = types.ModuleType("torch")
    utils = types.ModuleType("torch._utils")
    for name in ("FloatStorage", "DoubleStorage"):
        cls = type(name, (), {})
        cls.__module__ = "torch"
        setattr(torch, name, cls)

    def _rebuild_tensor_v2(*args):
        raise NotImplementedError

    _rebuild_tensor_v2.__module__ = "torch._utils"
    _rebuild_tensor_v2.__qualname__ = "_rebuild_tensor_v2"
    utils._rebuild_tensor_v2 = _rebuild_tensor_v2
    torch._utils = utils
    sys.modules["torch"] = torch
    sys.modules["torch._utils"] = utils
    return torch, utils


torch, torch_utils = _stand_ins()

TABLE = [
    ("cand.0.weight", (16, 7, 3, 3)),
    ("cand.0.bias", (16,)),
    ("cand.2.weight", (16, 16, 3, 3)),
    ("cand.2.bias", (16,)),
    ("cand.4.weight", (1, 16, 3, 3)),
    ("cand.4.bias", (1,)),
    ("syn.0.weight", (16, 3, 3, 3)),
    ("syn.0.bias", (16,)),
    ("syn.2.weight", (1, 16, 3, 3)),
    ("syn.2.bias", (1,)),
]


def numel(shape):
    n = 1
    for d in shape:
        n *= d
    return n


def values(k, count):
    return [(k + 1) + j / 4096 for j in range(count)]


class Storage:
    def __init__(self, key, vals, kind="FloatStorage"):
        self.key, self.vals, self.kind = key, vals, kind

    def data(self):
        code = "d" if self.kind == "DoubleStorage" else "f"
        return struct.pack("<%d%s" % (len(self.vals), code), *self.vals)


class Tensor:
    def __init__(self, storage, offset, shape, args=None):
        self.storage, self.offset, self.shape, self.args = storage, offset, shape, args

    def __reduce_ex__(self, proto):
        if self.args is not None:
            return (torch_utils._rebuild_tensor_v2, self.args)
        stride, s = [], 1
        for d in reversed(self.shape):
            stride.insert(0, s)
            s *= d
        return (torch_utils._rebuild_tensor_v2,
                (self.storage, self.offset, tuple(self.shape), tuple(stride), False,
                 collections.OrderedDict()))


class Call:
    """Any other callable a pickle may name."""

    def __init__(self, fn, args):
        self.fn, self.args = fn, args

    def __reduce_ex__(self, proto):
        return (self.fn, self.args)


class StateDict:
    """An ordered state dictionary that may repeat a key, as a dict cannot."""

    def __init__(self, items, metadata=None):
        self.items, self.metadata = items, metadata

    def __reduce_ex__(self, proto):
        state = {"_metadata": self.metadata} if self.metadata is not None else None
        return (collections.OrderedDict, (), state, None, iter(self.items))


class Pickler(pickle.Pickler):
    pid_tag = "storage"

    def persistent_id(self, obj):
        if isinstance(obj, Storage):
            return (self.pid_tag, getattr(torch, obj.kind), obj.key, "cpu", len(obj.vals))
        return None


def metadata(names):
    md = collections.OrderedDict()
    md[""] = {"version": 1}
    for n in names:
        md[n.rsplit(".", 1)[0]] = {"version": 1}
    return md


def match_values(name, shape):
    """cand.* weights that carry the 7th input channel (the mean absolute
    donor-target difference) through both ReLU layers unchanged on channel 0
    and score it as -50 x difference: the softmax then all but picks the
    donor that differs least from the target."""
    vals = [0.0] * numel(shape)
    centre = 4  # tap (1, 1) of a 3x3 kernel
    if name == "cand.0.weight":
        vals[(0 * 7 + 6) * 9 + centre] = 1.0
    elif name == "cand.2.weight":
        vals[(0 * 16 + 0) * 9 + centre] = 1.0
    elif name == "cand.4.weight":
        vals[(0 * 16 + 0) * 9 + centre] = -50.0
    elif not name.startswith("cand."):
        vals = values(0, numel(shape))
    return vals


def head(full=True, shape_override=None, kinds=None, value_fn=None):
    """Items and storages of a head; the biases share one storage."""
    table = TABLE if full else TABLE[:6]
    items, storages = [], []
    bias_vals, bias_offsets = [], {}

    def vals_of(k, name, shape):
        return value_fn(name, shape) if value_fn else values(k, numel(shape))

    for k, (name, shape) in enumerate(table):
        if name.endswith(".bias"):
            bias_offsets[name] = len(bias_vals)
            bias_vals += vals_of(k, name, shape)
    shared = Storage("biases", bias_vals)
    for k, (name, shape) in enumerate(table):
        if shape_override and name in shape_override:
            shape = shape_override[name]
        if name.endswith(".bias"):
            items.append((name, Tensor(shared, bias_offsets[name], shape)))
        else:
            kind = (kinds or {}).get(name, "FloatStorage")
            st = Storage(str(k), vals_of(k, name, shape), kind)
            storages.append(st)
            items.append((name, Tensor(st, 0, shape)))
    storages.append(shared)
    return items, storages


def pickled(obj, protocol=2, pid_tag="storage"):
    buf = io.BytesIO()
    p = Pickler(buf, protocol=protocol)
    p.pid_tag = pid_tag
    p.dump(obj)
    return buf.getvalue()


def write_zip(path, prefix, pkl, storages, comment=b"", deflate=(), skip=(), shorten=(),
              pkl_name="data.pkl"):
    with open(path, "wb") as f, zipfile.ZipFile(f, "w", zipfile.ZIP_STORED) as z:

        def put(name, data):
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED if name in deflate else zipfile.ZIP_STORED
            # Pad the local header so that data starts 64-byte aligned, as a
            # tensor library's writer does.
            pad = (-(f.tell() + 30 + len(name.encode()) + 4)) % 64
            info.extra = struct.pack("<HH", 0x4246, pad) + b"Z" * pad
            z.writestr(info, data)

        put(prefix + "/" + pkl_name, pkl)
        put(prefix + "/byteorder", b"little")
        for st in storages:
            if st.key in skip:
                continue
            data = st.data()
            if st.key in shorten:
                data = data[:-4]
            put(prefix + "/data/" + st.key, data)
        put(prefix + "/version", b"3\n")
        z.comment = comment


def variants():
    out = {}
    items, st = head()
    names = [n for n, _ in items]
    full_pkl = pickled(StateDict(items, metadata(names)))
    out["full"] = ("archive", full_pkl, st, {})
    out["comment"] = ("archive", full_pkl, st, {"comment": b"written for a test"})
    out["deflate"] = ("archive", full_pkl, st, {"deflate": ("archive/byteorder",)})
    out["storage_missing"] = ("archive", full_pkl, st, {"skip": ("2",)})
    out["storage_small"] = ("archive", full_pkl, st, {"shorten": ("biases",)})
    out["no_pkl"] = ("archive", full_pkl, st, {"pkl_name": "data.pickle"})
    out["proto4"] = ("archive", pickled(StateDict(items, metadata(names)), protocol=4), st, {})
    out["persid"] = ("archive", pickled(StateDict(items), pid_tag="blob"), st, {})
    # Over 256 memo entries ahead of the tensors: later references to the
    # memo go through LONG_BINPUT / LONG_BINGET.
    pad = ("_pad", tuple("s%d" % i for i in range(300)))
    out["long_memo"] = ("archive", pickled(StateDict([pad] + items, metadata(names))), st, {})

    m_items, m_st = head(value_fn=match_values)
    out["match"] = ("archive", pickled(StateDict(m_items, metadata(names))), m_st, {})

    small_items, small_st = head(full=False)
    out["small"] = ("tessera_head", pickled(StateDict(small_items)), small_st, {})
    out["syn_partial"] = ("archive", pickled(StateDict(small_items + [items[6]])), st, {})
    missing = [kv for kv in items if kv[0] != "cand.2.bias"]
    out["missing"] = ("archive", pickled(StateDict(missing)), st, {})
    out["dup"] = ("archive", pickled(StateDict(items + [items[1]])), st, {})
    out["empty_state"] = ("archive", pickled(StateDict([], metadata(names))), st, {})

    d_items, d_st = head(kinds={"cand.0.weight": "DoubleStorage"})
    out["double"] = ("archive", pickled(StateDict(d_items)), d_st, {})
    s_items, s_st = head(shape_override={"cand.0.weight": (16, 6, 3, 3)})
    out["shape"] = ("archive", pickled(StateDict(s_items)), s_st, {})

    evil = items[:1] + [("cand.0.bias", Call(builtins.eval, ("1+1",)))]
    out["callable"] = ("archive", pickled(StateDict(evil)), st, {})
    bad = [("cand.0.weight", Tensor(None, 0, None, args=(st[0], "0")))]
    out["rebuild"] = ("archive", pickled(StateDict(bad)), st, {})

    # Hand-written pickles for what no pickler writes.
    raw = {
        "memo_huge": b"\x80\x02}r\xff\xff\xff\x7f.",
        "binget": b"\x80\x02}h\x05.",
        "long_binget": b"\x80\x02}j\x05\x00\x00\x00.",
        "truncated": b"\x80\x02}(X\x05\x00\x00\x00ab",
        "nested": b"\x80\x02)" + b"\x85" * 5000 + b".",
        "underflow": b"\x80\x02\x86.",
        "no_mark": b"\x80\x02N\x85t.",
        "big": b"\x80\x02" + b"b" * (1 << 20) + b".",
    }
    for name, pkl in raw.items():
        out[name] = ("archive", pkl, st, {})
    return out


def main():
    outdir = sys.argv[1]
    for name, (prefix, pkl, storages, opts) in variants().items():
        write_zip("%s/%s.pt" % (outdir, name), prefix, pkl, storages, **opts)


if __name__ == "__main__":
    main()
