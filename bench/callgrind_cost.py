#!/usr/bin/env python3
"""Instructions per request from the dumps of `kelbench --cpu` under callgrind.

kelbench dumps the counts once per case (the dump's trigger names the case),
collected only inside KelMain. This sums, per dump, the instructions executed
in the driver module itself (the object whose name ends in the module's file
name) and all of them (the C library's system call wrappers included), and
divides by the repetitions.

usage: callgrind_cost.py --reps N --module libderevu1.so DUMP... > cpu.tsv
"""
import argparse
import re
import sys

NAME = re.compile(r"^c?ob=\((\d+)\)(?: (.*))?$")


def self_costs(path, names):
    """(case, {object name: instructions executed in it}) of one dump."""
    case = None
    costs = {}
    current = None
    skip_next = False
    with open(path, encoding="utf-8", errors="replace") as dump:
        for line in dump:
            line = line.rstrip("\n")
            if line.startswith("desc: Trigger: Client Request: "):
                case = line[len("desc: Trigger: Client Request: "):]
                continue
            m = NAME.match(line)
            if m:
                if m.group(2):
                    names[m.group(1)] = m.group(2)
                if line.startswith("ob="):
                    current = names.get(m.group(1), "(" + m.group(1) + ")")
                continue
            if line.startswith("calls="):
                skip_next = True  # the next cost line is the callee's, inclusive
                continue
            if line and (line[0].isdigit() or line[0] in "+-*"):
                if skip_next:
                    skip_next = False
                    continue
                fields = line.split()
                if len(fields) >= 2 and current is not None:
                    costs[current] = costs.get(current, 0) + int(fields[1])
    return case, costs


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reps", type=int, required=True)
    parser.add_argument("--module", default="libderevu1.so")
    parser.add_argument("dumps", nargs="+")
    args = parser.parse_args()
    names = {}
    print("case\tdriver_instructions\tall_instructions")
    for path in sorted(args.dumps, key=lambda p: int(p.rsplit(".", 1)[1]) if p.rsplit(".", 1)[1].isdigit() else 0):
        case, costs = self_costs(path, names)
        if case is None:
            continue
        driver = sum(v for k, v in costs.items() if k.endswith("/" + args.module) or k == args.module)
        total = sum(costs.values())
        print(f"{case}\t{driver / args.reps:.0f}\t{total / args.reps:.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
