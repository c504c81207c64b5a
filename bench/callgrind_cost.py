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

# "ob=(3) /lib/x.so" defines number 3, "ob=(3)" refers to it, and without
# compressed names "ob=/lib/x.so" names the object each time.
NAME = re.compile(r"^(c?)(ob|fn)=(?:\((\d+)\))? ?(.*)$")


def self_costs(path, names, functions=None):
    """(case, {object name: instructions executed in it}) of one dump; with
    functions, also {function name: instructions} of every object."""
    case = None
    costs = {}
    current = None
    function = None
    skip_next = False
    with open(path, encoding="utf-8", errors="replace") as dump:
        for line in dump:
            line = line.rstrip("\n")
            if line.startswith("desc: Trigger: Client Request: "):
                case = line[len("desc: Trigger: Client Request: "):]
                continue
            m = NAME.match(line)
            if m:
                callee, kind, number, name = m.groups()
                key = (kind, number)
                if number is not None and name:
                    names[key] = name
                if not callee:
                    resolved = name or names.get(key, "(" + str(number) + ")")
                    if kind == "ob":
                        current = resolved
                    else:
                        function = resolved
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
                    if functions is not None:
                        label = f"{function} [{current.rsplit('/', 1)[-1]}]"
                        functions[label] = functions.get(label, 0) + int(fields[1])
    return case, costs


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reps", type=int, required=True)
    parser.add_argument("--module", default="libderevu1.so")
    parser.add_argument("--functions", metavar="CASE", help="list the instructions per function of one case")
    parser.add_argument("dumps", nargs="+")
    args = parser.parse_args()
    names = {}
    if args.functions:
        for path in args.dumps:
            functions = {}
            case, _ = self_costs(path, names, functions)
            if case == args.functions:
                for label, cost in sorted(functions.items(), key=lambda item: -item[1])[:25]:
                    print(f"{cost / args.reps:10.0f}  {label}")
        return 0
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
