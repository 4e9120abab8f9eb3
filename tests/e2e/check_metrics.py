#!/usr/bin/python3
"""Checks a Prometheus text exposition (version 0.0.4) read from standard input, as promtool's
check and lint do, with the parser of python3-prometheus-client: the text must parse, every family
has one HELP and one TYPE line ahead of its samples, counters end in _total, and no sample is left
without its family. Prints what is wrong and exits 1, or prints nothing and exits 0."""
import re
import sys

from prometheus_client.parser import text_string_to_metric_families

NAME = re.compile(r"[a-zA-Z_:][a-zA-Z0-9_:]*$")


def problems(text):
    found = []
    try:
        families = list(text_string_to_metric_families(text))
    except Exception as e:  # the parser raises several kinds for a malformed line
        return [f"does not parse: {e}"]
    if not families:
        found.append("no metrics")
    helps, types = {}, {}
    for number, line in enumerate(text.splitlines(), 1):
        if not line:
            found.append(f"line {number}: empty line")
            continue
        if line.startswith("#"):
            parts = line.split(None, 3)
            if len(parts) >= 3 and parts[1] in ("HELP", "TYPE"):
                seen = helps if parts[1] == "HELP" else types
                if parts[2] in seen:
                    found.append(f"line {number}: a second {parts[1]} for {parts[2]}")
                seen[parts[2]] = parts[3] if len(parts) > 3 else ""
                if not NAME.match(parts[2]):
                    found.append(f"line {number}: {parts[2]} is no metric name")
            continue
        name = re.split(r"[{ ]", line, 1)[0]
        family = name if name in types else re.sub(r"_(bucket|sum|count)$", "", name)
        if family not in types:
            found.append(f"line {number}: {name} has no TYPE line before it")
        elif family not in helps:
            found.append(f"line {number}: {name} has no HELP line before it")
    for name, kind in types.items():
        if kind == "counter" and not name.endswith("_total"):
            found.append(f'counter metrics should have "_total" suffix: {name}')
        if not helps.get(name):
            found.append(f"{name} has no help text")
    if not text.endswith("\n"):
        found.append("the text does not end with a line break")
    return found


if __name__ == "__main__":
    said = problems(sys.stdin.read())
    for p in said:
        print(p)
    sys.exit(1 if said else 0)
