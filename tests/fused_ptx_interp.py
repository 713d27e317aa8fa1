"""A small PTX interpreter for hand-written kernels, so that their PTX (not a re-implementation)
runs in tests without a GPU.

It covers the instruction subset that hand-written kernels of this project use: integer and
float32 arithmetic, comparisons and predicated branches, loads and stores of global, shared and
parameter memory, module-scope shared variables and bar.sync. Unknown instructions raise, so a
kernel that grows beyond the subset fails loudly rather than computing something else.

    kernel = Kernel(ptx_text, "vantblas_fused_attention")
    mem = Memory()
    addr = mem.put(np_array)                 # returns a device address
    kernel.launch(mem, grid=(gx, gy, gz), block=(bx, by, bz), args=[addr, ..., 5, 0.5])
    out = mem.get(addr, shape, dtype)

Threads of a block run one after another (in a random order) up to each barrier; a thread that exits while others
still reach a barrier is reported as an error (on a device that is at best undefined).
Float arithmetic rounds to float32 after every operation; fma is computed in float64 and rounded
once (exact except in rare double-rounding cases); ex2.approx is the exact exp2.
"""

from __future__ import annotations

import re
import struct

import numpy as np

F32 = np.float32


class PtxError(RuntimeError):
    pass


class Memory:
    """Global memory: one growing byte array, addresses start well above zero."""

    BASE = 0x10000000

    def __init__(self):
        self.data = bytearray()

    def alloc(self, nbytes, fill=0xFF):
        addr = self.BASE + len(self.data)
        self.data += bytes([fill]) * nbytes + bytes([fill]) * ((-nbytes) % 256)
        return addr

    def put(self, array):
        raw = np.ascontiguousarray(array).tobytes()
        addr = self.alloc(max(len(raw), 4))
        self.data[addr - self.BASE:addr - self.BASE + len(raw)] = raw
        return addr

    def get(self, addr, shape, dtype=np.float32):
        n = int(np.prod(shape)) * np.dtype(dtype).itemsize
        off = addr - self.BASE
        return np.frombuffer(bytes(self.data[off:off + n]), dtype=dtype).reshape(shape)

    def _off(self, addr, size):
        off = addr - self.BASE
        if off < 0 or off + size > len(self.data):
            raise PtxError(f"global access of {size} bytes at {addr:#x} outside memory")
        return off

    def load(self, addr, fmt, size):
        off = self._off(addr, size)
        return struct.unpack_from(fmt, self.data, off)[0]

    def store(self, addr, fmt, size, value):
        struct.pack_into(fmt, self.data, self._off(addr, size), value)


_FMT = {"f32": ("<f", 4), "u32": ("<I", 4), "s32": ("<i", 4), "b32": ("<I", 4), "u64": ("<Q", 8),
        "b64": ("<Q", 8), "s64": ("<q", 8), "u8": ("<B", 1), "b8": ("<B", 1)}
_MASK = {"32": 0xFFFFFFFF, "64": 0xFFFFFFFFFFFFFFFF}


def _strip_comments(text):
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


class Kernel:
    def __init__(self, text, entry, seed=0):
        self.rng = np.random.default_rng(seed)
        src = _strip_comments(text)
        self.shared_layout = {}
        self.shared_size = 0
        for m in re.finditer(r"^\s*\.shared\s+\.align\s+(\d+)\s+\.(\w+)\s+(\w+)(?:\[(\d+)\])?\s*;", src, re.M):
            align, typ, name, count = int(m.group(1)), m.group(2), m.group(3), int(m.group(4) or 1)
            self.shared_size += (-self.shared_size) % align
            self.shared_layout[name] = self.shared_size
            self.shared_size += _FMT[typ][1] * count
        m = re.search(r"\.entry\s+" + re.escape(entry) + r"\s*\((.*?)\)\s*\{(.*?)\n\}", src, re.S)
        if not m:
            raise PtxError(f"entry {entry} not found")
        self.params = [(p.split()[1][1:], p.split()[2]) for p in m.group(1).split(",") if p.strip()]
        self.labels = {}
        self.code = []
        for stmt in m.group(2).split(";"):
            stmt = stmt.strip()
            while True:
                lm = re.match(r"^([$\w]+):\s*", stmt)
                if not lm:
                    break
                self.labels[lm.group(1)] = len(self.code)
                stmt = stmt[lm.end():]
            if not stmt or stmt.startswith(".reg"):
                continue
            self.code.append(self._parse(stmt))

    @staticmethod
    def _parse(stmt):
        guard = None
        gm = re.match(r"^@(!?)(%\w+)\s+", stmt)
        if gm:
            guard = (gm.group(1) == "!", gm.group(2))
            stmt = stmt[gm.end():]
        parts = stmt.split(None, 1)
        ops = [o.strip() for o in parts[1].split(",")] if len(parts) > 1 else []
        return guard, parts[0], ops

    # -- operands -----------------------------------------------------------------------------

    def _value(self, tok, regs, ctx, typ):
        if tok.startswith("%"):
            if tok in regs:
                return regs[tok]
            sm = re.match(r"^%(tid|ntid|ctaid|nctaid)\.([xyz])$", tok)
            if sm:
                return ctx[sm.group(1)]["xyz".index(sm.group(2))]
            raise PtxError(f"register {tok} read before it was written")
        if tok in self.shared_layout:
            return self.shared_layout[tok]
        if re.match(r"^0[fF][0-9a-fA-F]{8}$", tok):
            return F32(struct.unpack("<f", bytes.fromhex(tok[2:])[::-1])[0])
        if typ == "f32":
            return F32(float(tok))
        return int(tok, 0)

    def _address(self, tok, regs):
        am = re.match(r"^\[\s*([%\w$]+)\s*(?:\+\s*(-?\w+))?\s*\]$", tok)
        if not am:
            raise PtxError(f"bad address {tok}")
        base, off = am.group(1), int(am.group(2), 0) if am.group(2) else 0
        if base in self.shared_layout:
            return self.shared_layout[base] + off
        if base in regs:
            return regs[base] + off
        return base, off  # a parameter name

    # -- execution ----------------------------------------------------------------------------

    def _thread(self, mem, shared, ctx, args):
        regs = {}
        pc = 0
        code = self.code
        while pc < len(code):
            guard, op, ops = code[pc]
            pc += 1
            if guard is not None:
                neg, p = guard
                if regs[p] == neg:
                    continue
            parts = op.split(".")
            name = parts[0]
            typ = parts[-1]
            if name == "bra":
                pc = self.labels[ops[0]]
            elif name == "ret":
                return
            elif name == "bar":
                yield "bar"
            elif name in ("ld", "st"):
                space = parts[1]
                fmt, size = _FMT[typ]
                if name == "ld":
                    addr = self._address(ops[1], regs)
                    if space == "param":
                        v = args[[p[1] for p in self.params].index(addr[0])]
                        regs[ops[0]] = F32(v) if typ == "f32" else int(v)
                        continue
                    if space == "global":
                        v = mem.load(addr, fmt, size)
                    elif space == "shared":
                        if addr < 0 or addr + size > len(shared):
                            raise PtxError(f"shared access at {addr} outside {len(shared)} bytes")
                        v = struct.unpack_from(fmt, shared, addr)[0]
                    else:
                        raise PtxError(f"unsupported state space in {op}")
                    regs[ops[0]] = F32(v) if typ == "f32" else v
                else:
                    addr = self._address(ops[0], regs)
                    v = self._value(ops[1], regs, ctx, typ)
                    v = float(v) if typ == "f32" else int(v) & ((1 << (8 * size)) - 1)
                    if space == "global":
                        mem.store(addr, fmt, size, v)
                    elif space == "shared":
                        if addr < 0 or addr + size > len(shared):
                            raise PtxError(f"shared access at {addr} outside {len(shared)} bytes")
                        struct.pack_into(fmt, shared, addr, v)
                    else:
                        raise PtxError(f"unsupported state space in {op}")
            elif name == "setp":
                cmp, t = parts[1], parts[2]
                a, b = (self._value(o, regs, ctx, t) for o in ops[1:3])
                regs[ops[0]] = {"eq": a == b, "ne": a != b, "lt": a < b, "le": a <= b, "gt": a > b,
                                "ge": a >= b}[cmp]
            else:
                regs[ops[0]] = self._arith(name, parts, [self._value(o, regs, ctx, typ) for o in ops[1:]])

    @staticmethod
    def _arith(name, parts, v):
        typ = parts[-1]
        if typ == "f32":
            with np.errstate(all="ignore"):
                if name == "mov":
                    return F32(v[0])
                if name == "add":
                    return F32(v[0] + v[1])
                if name == "sub":
                    return F32(v[0] - v[1])
                if name == "mul":
                    return F32(v[0] * v[1])
                if name == "fma":
                    return F32(np.float64(v[0]) * np.float64(v[1]) + np.float64(v[2]))
                if name == "max":
                    return F32(np.fmax(v[0], v[1]))
                if name == "min":
                    return F32(np.fmin(v[0], v[1]))
                if name == "ex2":
                    return F32(np.exp2(v[0]))
                if name == "rcp":
                    return F32(F32(1.0) / v[0])
            raise PtxError(f"unsupported float instruction {'.'.join(parts)}")
        bits = re.sub(r"\D", "", typ)
        mask = _MASK.get(bits, 0xFFFFFFFF)
        if name == "mul" and parts[1] == "wide":
            return (int(v[0]) * int(v[1])) & 0xFFFFFFFFFFFFFFFF
        if name == "cvt":
            return int(v[0]) & _MASK[re.sub(r"\D", "", parts[1])]
        if name == "cvta":
            return int(v[0])
        ops = {"mov": lambda: v[0], "add": lambda: v[0] + v[1], "sub": lambda: v[0] - v[1],
               "mul": lambda: v[0] * v[1], "shl": lambda: v[0] << v[1], "shr": lambda: v[0] >> v[1],
               "and": lambda: v[0] & v[1], "or": lambda: v[0] | v[1]}
        if name not in ops:
            raise PtxError(f"unsupported instruction {'.'.join(parts)}")
        return int(ops[name]()) & mask

    def launch(self, mem, grid, block, args, dynamic_shared=0):
        grid = tuple(grid) + (1,) * (3 - len(grid))
        block = tuple(block) + (1,) * (3 - len(block))
        if len(args) != len(self.params):
            raise PtxError(f"{len(self.params)} parameters expected, {len(args)} given")
        for bz in range(grid[2]):
            for by in range(grid[1]):
                for bx in range(grid[0]):
                    shared = bytearray(b"\xa5" * (self.shared_size + dynamic_shared))
                    threads = []
                    for t in range(block[0] * block[1] * block[2]):
                        tid = (t % block[0], (t // block[0]) % block[1], t // (block[0] * block[1]))
                        ctx = {"tid": tid, "ntid": block, "ctaid": (bx, by, bz), "nctaid": grid}
                        threads.append(self._thread(mem, shared, ctx, args))
                    self._run_block(threads)

    def _run_block(self, threads):
        alive = threads
        while alive:
            waiting, exited = [], 0
            # Between two barriers the threads run in a fresh random order each time, so that a
            # missing barrier shows up as a read of data that is not written yet.
            for th in [alive[i] for i in self.rng.permutation(len(alive))]:
                try:
                    next(th)
                    waiting.append(th)
                except StopIteration:
                    exited += 1
            if waiting and exited:
                raise PtxError("a thread exited while others of its block wait at a barrier")
            alive = waiting
