#!/usr/bin/env python3
"""Repairs and verifies parameter type offsets in widl -Oif proxy code.

widl (7.0 and 8.0) writes the type offset of an [out] or [in,out] string
pointer (LPWSTR *) as the offset of the pointee (the FC_OP string pointer)
instead of the outer FC_RP descriptor. The NDR engine then reads the wrong
descriptor and the client receives NULL or garbage with S_OK. This script
reads the proc and type format strings of a generated *_p.c file, walks every
procedure's parameter list and

  fix IN OUT   points each misplaced [out] offset back at the FC_RP that refers
               to the pointee, then verifies the result and writes OUT;
  check FILE   only verifies.

Verification: every [out] parameter that is neither a base type nor a simple
reference must have its type offset on an FC_RP descriptor. Any violation
(also one the fix could not repair) makes the script exit with status 1, so
the build fails rather than shipping a proxy that loses strings.
"""
import re
import sys

FC_RP, FC_UP, FC_OP, FC_FP = 0x11, 0x12, 0x13, 0x14
FC_SIMPLE_POINTER = 0x08

# Parameter attribute bits of the -Oif parameter descriptor.
IS_OUT = 0x0010
IS_RETURN = 0x0020
IS_BASETYPE = 0x0040
IS_SIMPLE_REF = 0x0100

OI_HAS_RPCFLAGS = 0x08
OI2_HAS_EXTENSIONS = 0x40

TOKEN = re.compile(r"NdrFcShort\(\s*(-?(?:0x[0-9a-fA-F]+|\d+))\s*\)"
                   r"|NdrFcLong\(\s*(-?(?:0x[0-9a-fA-F]+|\d+))\s*\)"
                   r"|(-?(?:0x[0-9a-fA-F]+|\d+))")
COMMENT = re.compile(r"/\*.*?\*/")


class FormatError(Exception):
    pass


class FormatString:
    """The byte array of one MIDL format string, with where each value came from."""

    def __init__(self, lines, name):
        self.lines = lines
        self.data = bytearray()
        self.shorts = {}         # byte position -> line index of an NdrFcShort
        self.line_start = set()  # byte positions of the first value on a line
        start = None
        for i, line in enumerate(lines):
            if re.search(r"\b%s\s*=" % re.escape(name), line):
                start = i
                break
        if start is None:
            raise FormatError("no %s in the file" % name)
        # Layout: "{", "0,", "{", values..., "}", "};"
        i = start + 1
        braces = 0
        while i < len(lines):
            stripped = lines[i].strip()
            if stripped.startswith("{"):
                braces += 1
                if braces == 2:
                    i += 1
                    break
            i += 1
        else:
            raise FormatError("%s has no value list" % name)
        while i < len(lines):
            text = COMMENT.sub("", lines[i]).strip()
            if text.startswith("}"):
                break
            first = True
            for m in TOKEN.finditer(text):
                pos = len(self.data)
                if first:
                    self.line_start.add(pos)
                    first = False
                if m.group(1) is not None:
                    value = int(m.group(1), 0) & 0xFFFF
                    self.shorts[pos] = i
                    self.data += value.to_bytes(2, "little")
                elif m.group(2) is not None:
                    value = int(m.group(2), 0) & 0xFFFFFFFF
                    self.data += value.to_bytes(4, "little")
                else:
                    self.data.append(int(m.group(3), 0) & 0xFF)
            i += 1

    def short(self, pos):
        return int.from_bytes(self.data[pos:pos + 2], "little")

    def signed_short(self, pos):
        value = self.short(pos)
        return value - 0x10000 if value & 0x8000 else value


class Param:
    def __init__(self, proc, index, pos, flags, type_offset):
        self.proc = proc
        self.index = index
        self.pos = pos          # byte position of the descriptor in the proc string
        self.flags = flags
        self.type_offset = type_offset

    @property
    def needs_ref_pointer(self):
        return (self.flags & IS_OUT and not self.flags & IS_RETURN
                and not self.flags & IS_BASETYPE and not self.flags & IS_SIMPLE_REF)


def walk_procs(procs):
    """Yields every non-basetype parameter of every procedure."""
    data = procs.data
    pos = 0
    end = len(data) - 1  # trailing terminator byte
    while pos < end:
        handle_type = data[pos]
        oi_flags = data[pos + 1]
        if handle_type == 0:
            raise FormatError("explicit binding handle at proc byte %d is not supported" % pos)
        pos += 2
        if oi_flags & OI_HAS_RPCFLAGS:
            pos += 4
        proc_num = procs.short(pos)
        pos += 4  # proc number, stack size
        pos += 4  # client and server buffer sizes
        oi2_flags = data[pos]
        count = data[pos + 1]
        pos += 2
        if oi2_flags & OI2_HAS_EXTENSIONS:
            pos += data[pos]
        for index in range(count):
            flags = procs.short(pos)
            if not flags & IS_BASETYPE:
                yield Param(proc_num, index, pos, flags, procs.short(pos + 4))
            pos += 6
    if pos != end:
        raise FormatError("proc format string ends inside a procedure")


def ref_pointers_to(types, target):
    """Starts of FC_RP descriptors whose offset field refers to target."""
    found = []
    for pos in sorted(types.line_start):
        if pos + 4 > len(types.data) or types.data[pos] != FC_RP:
            continue
        if types.data[pos + 1] & FC_SIMPLE_POINTER or pos + 2 not in types.shorts:
            continue
        if pos + 2 + types.signed_short(pos + 2) == target:
            found.append(pos)
    return found


def problems(procs, types):
    out = []
    for p in walk_procs(procs):
        if p.type_offset >= len(types.data):
            out.append((p, "type offset %d lies past the type format string" % p.type_offset))
        elif p.needs_ref_pointer and types.data[p.type_offset] != FC_RP:
            out.append((p, "[out] type offset %d is on 0x%02x, not on FC_RP"
                        % (p.type_offset, types.data[p.type_offset])))
    return out


def repair(lines, procs, types):
    fixed = 0
    for p in walk_procs(procs):
        if not p.needs_ref_pointer or p.type_offset >= len(types.data):
            continue
        if types.data[p.type_offset] == FC_RP:
            continue
        if types.data[p.type_offset] not in (FC_UP, FC_OP, FC_FP):
            continue
        candidates = [c for c in ref_pointers_to(types, p.type_offset) if c < p.type_offset]
        if not candidates:
            continue
        new = max(candidates)
        where = p.pos + 4
        line_index = procs.shorts.get(where)
        if line_index is None:
            raise FormatError("type offset of proc %d parameter %d is not an NdrFcShort"
                              % (p.proc, p.index))
        line = lines[line_index]
        line = re.sub(r"NdrFcShort\([^)]*\)", "NdrFcShort(0x%x)" % new, line, count=1)
        line = re.sub(r"type offset = \d+", "type offset = %d" % new, line)
        lines[line_index] = line
        procs.data[where:where + 2] = new.to_bytes(2, "little")
        fixed += 1
    return fixed


def load(path):
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    procs = FormatString(lines, "__MIDL_ProcFormatString")
    types = FormatString(lines, "__MIDL_TypeFormatString")
    return lines, procs, types


def report(path, found):
    for p, what in found:
        print("%s: proc %d (format offset %d) parameter %d: %s" % (path, p.proc, p.pos, p.index + 1, what),
              file=sys.stderr)


def main(argv):
    if len(argv) == 3 and argv[1] == "check":
        lines, procs, types = load(argv[2])
        found = problems(procs, types)
        report(argv[2], found)
        return 1 if found else 0
    if len(argv) == 4 and argv[1] == "fix":
        lines, procs, types = load(argv[2])
        repair(lines, procs, types)
        found = problems(procs, types)
        if found:
            report(argv[2], found)
            return 1
        with open(argv[3], "w", encoding="utf-8") as f:
            f.write("\n".join(lines))
        return 0
    print("usage: widl_offsets.py check FILE | fix IN OUT", file=sys.stderr)
    return 2


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except (FormatError, OSError) as e:
        print("widl_offsets: %s" % e, file=sys.stderr)
        sys.exit(1)
