#!/usr/bin/env python3
"""Writes a large synthetic tag configuration for load and polling benchmarks.

The tags are spread over nodes, devices and groups (one level of subgroups),
with a fixed mix of analog (16- and 32-bit, float, double, with and without
conditioning), digital and string tags, so every code path of the loader is
exercised in proportion. The output is deterministic for the same arguments.

With --ini a matching description for the substitute runtime is written too
(same project name and build, one device section per device), so the file can
also be loaded with simulation off.

Examples:
  tools/taggen.py --tags 100000 --out tags100k.xml
  tools/taggen.py --tags 100000 --scan-cycles 600 --ini Devlane-bench.ini --out tags100k-live.xml

The benchmark bench/addrspace_load_bench.cpp loads such files; a long scan
cycle (600 = 60 s) keeps the pollers asleep while it measures a pass.
"""

import argparse
import sys
from xml.sax.saxutils import quoteattr

# (DataType, SignalCondition, HighIR, LowIR, words per element)
ANALOG_TYPES = [
    ("16Bit(Signed)", "None", "32767", "-32768", 1),
    ("16Bit(UnSigned)", "Linear", "4095", "0", 1),
    ("16Bit(Signed)", "12Bit Binary", "2047", "-2048", 1),
    ("16Bit(HEX)", "4BCD", "9999", "0", 1),
    ("32Bit(Signed)", "None", "2147483647", "-2147483648", 2),
    ("32Bit(UnSigned)", "SQRT", "1000000", "0", 2),
    ("Float", "None", "1000", "-1000", 2),
    ("Double", "Linear", "100", "0", 4),
]
SIMULATIONS = ["SIN", "COS", "Increment", "Random", "None", "CSV"]
STRING_COUNT = 16  # characters of a string tag


def attrs(pairs):
    return " ".join("%s=%s" % (k, quoteattr(str(v))) for k, v in pairs)


class Device:
    """Hands out word and bit addresses inside one device of the substitute runtime."""

    def __init__(self, node, name):
        self.node = node
        self.name = name
        self.next_word = 0
        self.next_bit = 0

    def words(self, n):
        address = "D%d" % self.next_word
        self.next_word += n
        return address

    def bit(self):
        address = "M%d" % self.next_bit
        self.next_bit += 1
        return address


def tag_element(index, device, args):
    """One tag element as a string; the kind follows the index."""
    kind = index % 10
    name = "T%06d" % index
    scan = args.scan_cycles[index % len(args.scan_cycles)]
    sim = SIMULATIONS[index % len(SIMULATIONS)] if not args.no_simulation else "None"
    common = [("Name", name), ("Enable", "1")]
    if kind < 7:
        data_type, condition, hir, lir, words = ANALOG_TYPES[index % len(ANALOG_TYPES)]
        pairs = common + [
            ("DeviceAddress", device.words(words)),
            ("DataType", data_type),
            ("DataCount", 1),
            ("ScanCycle", scan),
            ("Description", "Analog %d" % index),
            ("Simulation", sim),
            ("HighEU", "100"),
            ("LowEU", "0"),
            ("HighInstrumentRange", hir),
            ("LowInstrumentRange", lir),
            ("EngineeringUnit", "%"),
            ("DeadBand", "0.5"),
            ("DecimalPoint", 0),
            ("SignalCondition", condition),
        ]
        return "<AnalogTag %s/>" % attrs(pairs)
    if kind < 9:
        pairs = common + [
            ("DeviceAddress", device.bit()),
            ("DataType", "Bit"),
            ("DataCount", 1),
            ("ScanCycle", scan),
            ("Description", "Digital %d" % index),
            ("Simulation", "CSV" if sim == "CSV" else "None"),
            ("CloseLabel", "ON"),
            ("OpenLabel", "OFF"),
            ("Inverse", "Off"),
        ]
        return "<DigitalTag %s/>" % attrs(pairs)
    pairs = common + [
        ("DeviceAddress", device.words((STRING_COUNT + 1) // 2)),
        ("DataType", "String"),
        ("DataCount", STRING_COUNT),
        ("ScanCycle", scan),
        ("Description", "Text %d" % index),
        ("Simulation", "CSV" if sim == "CSV" else "None"),
        ("NullTermination", "1"),
    ]
    return "<StringTag %s/>" % attrs(pairs)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--tags", type=int, default=100000, help="number of tags (default 100000)")
    p.add_argument("--nodes", type=int, default=4)
    p.add_argument("--devices", type=int, default=25, help="devices per node")
    p.add_argument("--groups", type=int, default=10, help="groups per device")
    p.add_argument("--subgroups", type=int, default=4, help="subgroups per group")
    p.add_argument("--scan-cycles", default="10", help="comma-separated ScanCycle values used in turn")
    p.add_argument("--project", default="Line1.rxp", help="BaseFileName of the project check")
    p.add_argument("--build", type=int, default=1042, help="BuiledNumber of the project check")
    p.add_argument("--no-simulation", action="store_true", help="every tag gets Simulation None")
    p.add_argument("--ini", help="also write a matching description for the substitute runtime")
    p.add_argument("--out", required=True, help="output file")
    args = p.parse_args()
    args.scan_cycles = [int(v) for v in args.scan_cycles.split(",") if v.strip()]
    if args.tags < 0 or args.nodes < 1 or args.devices < 1 or args.groups < 1 or args.subgroups < 0:
        p.error("counts must be positive")

    devices = [Device("N%02d" % n, "PLC%03d" % d) for n in range(args.nodes) for d in range(args.devices)]
    per_device = (args.tags + len(devices) - 1) // len(devices)
    out = []
    out.append('<?xml version="1.0" encoding="utf-8"?>')
    out.append("<TagConfiguration>")
    out.append("<RXIInformation %s/>" % attrs([("BaseFileName", args.project), ("BuiledNumber", args.build)]))
    index = 0
    for n in range(args.nodes):
        out.append("<Lintor %s>" % attrs([("Name", "N%02d" % n), ("Enable", "1")]))
        for d in range(args.devices):
            device = devices[n * args.devices + d]
            out.append("<Device %s>" % attrs([("Name", device.name), ("Enable", "1")]))
            count = min(per_device, args.tags - index)
            slots = args.groups * max(args.subgroups, 1)
            for g in range(args.groups):
                out.append("<TagGroup %s>" % attrs([("Name", "G%02d" % g), ("Enable", "1")]))
                for s in range(max(args.subgroups, 1)):
                    if args.subgroups:
                        out.append("<TagGroup %s>" % attrs([("Name", "S%02d" % s), ("Enable", "1")]))
                    slot = g * max(args.subgroups, 1) + s
                    share = count // slots + (1 if slot < count % slots else 0)
                    for _ in range(share):
                        out.append(tag_element(index, device, args))
                        index += 1
                    if args.subgroups:
                        out.append("</TagGroup>")
                out.append("</TagGroup>")
            out.append("</Device>")
        out.append("</Lintor>")
    out.append("</TagConfiguration>")
    with open(args.out, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(out))
        f.write("\n")

    if args.ini:
        with open(args.ini, "w", encoding="utf-8", newline="\n") as f:
            f.write("# Written by tools/taggen.py for %d tags.\n" % args.tags)
            f.write("[project]\npath = C:\\Lintor\\Projects\\%s\nbuild = %d\n" % (args.project, args.build))
            for device in devices:
                f.write("\n[device %s.%s]\n" % (device.node, device.name))
                f.write("size.D = %d\n" % max(8192, device.next_word + 16))
                f.write("size.M = %d\n" % max(8192, device.next_bit + 16))
    print("%d tags in %s" % (index, args.out), file=sys.stderr)


if __name__ == "__main__":
    main()
