#!/usr/bin/env python3
"""The [out] string offset check and repair of widl_offsets.py.

Takes the repaired proxies of the build, moves every [out] string pointer's
type offset back onto the pointee (what widl itself writes), and requires
that `check` rejects each such file and `fix` restores it byte for byte.

usage: widl_offsets_test.py <widl_offsets.py> <directory of generated *_p.c>
"""
import importlib.util
import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = sys.argv[1]
GEN = sys.argv[2]

loader_spec = importlib.util.spec_from_file_location("widl_offsets", SCRIPT)
offsets = importlib.util.module_from_spec(loader_spec)
loader_spec.loader.exec_module(offsets)


def run(*args):
    return subprocess.run([sys.executable, SCRIPT, *args], capture_output=True, text=True)


def misplace_out_strings(path):
    """The file's text with every [out] string pointer offset moved onto its
    pointee, and how many were moved."""
    lines, procs, types = offsets.load(path)
    moved = 0
    for p in offsets.walk_procs(procs):
        if not p.needs_ref_pointer or types.data[p.type_offset] != offsets.FC_RP:
            continue
        rp = p.type_offset
        if types.data[rp + 1] & offsets.FC_SIMPLE_POINTER:
            continue
        target = rp + 2 + types.signed_short(rp + 2)
        if types.data[target] not in (offsets.FC_UP, offsets.FC_OP):
            continue
        if types.data[target + 1] & offsets.FC_SIMPLE_POINTER and types.data[target + 2] == 0x25:  # FC_C_WSTRING
            index = procs.shorts[p.pos + 4]
            lines[index] = lines[index].replace("NdrFcShort(0x%x)" % rp, "NdrFcShort(0x%x)" % target, 1)
            moved += 1
    return "\n".join(lines), moved


class OffsetRepair(unittest.TestCase):
    def proxies(self):
        names = sorted(n for n in os.listdir(GEN) if n.endswith("_p.c"))
        self.assertTrue(names, "no generated proxies in " + GEN)
        return [os.path.join(GEN, n) for n in names]

    def test_built_proxies_pass_the_check(self):
        for path in self.proxies():
            result = run("check", path)
            self.assertEqual(result.returncode, 0, path + ": " + result.stderr)

    def test_misplaced_string_offsets_are_caught_and_repaired(self):
        total = 0
        with tempfile.TemporaryDirectory() as tmp:
            for path in self.proxies():
                with open(path, encoding="utf-8") as f:
                    original = f.read()
                broken, moved = misplace_out_strings(path)
                total += moved
                if not moved:
                    continue
                bad = os.path.join(tmp, "bad_" + os.path.basename(path))
                fixed = os.path.join(tmp, "fixed_" + os.path.basename(path))
                with open(bad, "w", encoding="utf-8") as f:
                    f.write(broken)
                result = run("check", bad)
                self.assertEqual(result.returncode, 1, path)
                self.assertEqual(result.stderr.count("not on FC_RP"), moved, result.stderr)
                self.assertEqual(run("fix", bad, fixed).returncode, 0, path)
                with open(fixed, encoding="utf-8") as f:
                    self.assertEqual(f.read(), original, path)
        # GetErrorString (twice), GetItemID, GetState, Browse and the server
        # list's three LPOLESTR outs are all single [out] strings.
        self.assertGreaterEqual(total, 8)

    def test_an_offset_that_cannot_be_repaired_fails(self):
        path = [p for p in self.proxies() if p.endswith("opcda_p.c")][0]
        lines, procs, types = offsets.load(path)
        first = next(p for p in offsets.walk_procs(procs) if p.needs_ref_pointer)
        index = procs.shorts[first.pos + 4]
        lines[index] = lines[index].replace("NdrFcShort(0x%x)" % first.type_offset, "NdrFcShort(0xfff0)", 1)
        with tempfile.TemporaryDirectory() as tmp:
            bad = os.path.join(tmp, "opcda_p.c")
            with open(bad, "w", encoding="utf-8") as f:
                f.write("\n".join(lines))
            self.assertEqual(run("fix", bad, os.path.join(tmp, "out.c")).returncode, 1)
            self.assertFalse(os.path.exists(os.path.join(tmp, "out.c")))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
