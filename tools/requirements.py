#!/usr/bin/env python3
"""Prints requirements declared in pyproject.toml, one a line, for `pip install`.

Usage: tools/requirements.py [--build] [EXTRA ...]

The project's dependencies, then those of each extra named (test, demo, bench), then with --build
the build backend's ([build-system] requires), which a build without build isolation needs.
"""

import ast
import os
import re
import sys

PYPROJECT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "pyproject.toml")


def load(path):
    try:
        import tomllib
    except ImportError:  # before Python 3.11
        return read_arrays(path)
    with open(path, "rb") as f:
        return tomllib.load(f)


def read_arrays(path):
    """Just enough TOML for pyproject.toml: [table] headers and `key = [...]` arrays of strings
    (one line or several). Every other key is passed over."""
    data = {}
    table = data
    pending = None  # (key, text so far) of an array that continues on the next line
    with open(path, encoding="utf-8") as f:
        for line in f:
            if pending is not None:
                key, text = pending
                text += line
            else:
                header = re.match(r"\s*\[([^\[\]]+)\]\s*$", line)
                if header:
                    table = data
                    for part in header.group(1).split("."):
                        table = table.setdefault(part.strip().strip('"'), {})
                    continue
                array = re.match(r"\s*([\w-]+)\s*=\s*(\[.*)", line, re.S)
                if not array:
                    continue
                key, text = array.groups()
            if text.count("[") > text.count("]"):
                pending = (key, text)
                continue
            pending = None
            table[key] = ast.literal_eval(text.strip())
    return data


def requirements(data, extras, build):
    project = data["project"]
    out = list(project.get("dependencies", []))
    declared = project.get("optional-dependencies", {})
    for extra in extras:
        if extra not in declared:
            sys.exit("requirements.py: pyproject.toml declares no extra %r (it has: %s)"
                     % (extra, ", ".join(sorted(declared))))
        out += declared[extra]
    if build:
        out += data["build-system"]["requires"]
    return out


def main(argv):
    build = "--build" in argv
    extras = [a for a in argv if a != "--build"]
    print("\n".join(requirements(load(PYPROJECT), extras, build)))


if __name__ == "__main__":
    main(sys.argv[1:])
