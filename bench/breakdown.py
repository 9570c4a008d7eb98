"""Where the native module's instructions go, per entry point: read from the callgrind dumps that
`instructions.py --keep DIR` leaves in DIR/native (one dump per entry point).

Every instruction counted inside an entry point falls in exactly one column:

* module: instructions of the module's own code (self cost in the extension);
* host calls: everything under the module's calls of the host's callables (the converters,
  `Event`, the record factories, `event_queue.append`): the host's own code and the interpreter's
  cost of entering and leaving it, which a caller in C pays and the interpreter's specialised
  Python-to-Python call does not;
* interpreter: everything under the module's other calls into the interpreter (attribute
  reads the module leaves to the interpreter, building dicts and strings, allocation, freeing);
* entry: the harness loop and the call into the module's method.

The floor column is (host calls + entry) / the plain-Python peer's total: the ratio the module
would reach if its own code and the services it asks of the interpreter cost nothing.

`bench/instructions.py` adds these columns for the native module to its output and JSON.

Usage: python bench/breakdown.py DIR [DIR ...]   (the dumps of one callgrind run per directory,
       such as KEEP/native of `instructions.py --keep KEEP`)
"""

import glob
import os
import re
import sys

MODULE = "trade_data_thread"
# Interpreter entry points through which the module calls a host callable.
CALLS = {
    "PyObject_Vectorcall", "_PyObject_VectorcallTstate", "PyObject_VectorcallMethod", "PyObject_Call",
    "_PyObject_Call", "_PyObject_MakeTpCall", "_PyFunction_Vectorcall", "PyObject_CallObject",
    "PyObject_CallOneArg", "PyObject_CallNoArgs", "PyObject_VectorcallDict", "_PyObject_FastCallDictTstate",
    "method_vectorcall", "_PyEval_Vector", "object_vacall", "PyObject_CallMethodObjArgs",
    # Before 3.9 `PyObject_Vectorcall` is inlined into its caller, which then calls the callable's
    # own vectorcall function: for a builtin function or method, one of these.
    "cfunction_vectorcall_O", "cfunction_vectorcall_NOARGS", "cfunction_vectorcall_FASTCALL",
    "cfunction_vectorcall_FASTCALL_KEYWORDS", "method_vectorcall_O", "method_vectorcall_NOARGS",
    "method_vectorcall_FASTCALL", "method_vectorcall_FASTCALL_KEYWORDS", "method_vectorcall_VARARGS",
    "method_vectorcall_VARARGS_KEYWORDS",
}
NAMED = re.compile(r"\((\d+)\)(?: (.*))?")


def _name(table, value):
    m = NAMED.match(value)
    if not m:
        return value
    ident, name = m.groups()
    if name is not None:
        table[ident] = name
    return table.get(ident, "")


def split(path):
    """(total, module, host calls, interpreter) instructions of one dump; the rest is the entry."""
    objects, functions = {}, {}
    ob = fn = cob = cfn = None
    total = module = host = inside = 0
    after_call = False
    with open(path) as f:
        for line in f:
            if line.startswith("summary:") or line.startswith("totals:"):
                total = int(line.split()[1])
                continue
            if line[0].isdigit() or line[0] in "+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                in_module = MODULE in ob
                if after_call:
                    after_call = False
                    if in_module and MODULE not in cob and cfn.split("'")[0] in CALLS:
                        host += cost
                    elif not in_module and MODULE in cob:
                        inside += cost
                    # A call names its callee's object only when it differs from the caller's: the
                    # next call is in the caller's object unless it says otherwise.
                    cob = ob
                elif in_module:
                    module += cost
                continue
            key, _, value = line.rstrip("\n").partition("=")
            if key == "ob":
                ob = cob = _name(objects, value)
            elif key == "fn":
                fn = _name(functions, value)
            elif key == "cob":
                cob = _name(objects, value)
            elif key == "cfn":
                cfn = _name(functions, value)
            elif key == "calls":
                after_call = True
            if key in ("fn", "ob"):
                cob = ob
    # Calls into the interpreter that call back into the module are counted once, as module code.
    return total, module, host, inside - module - host


def dumps(directory):
    """The callgrind dumps of one run, in the order they were written."""
    return sorted(glob.glob(os.path.join(directory, "cg.out.*")), key=lambda p: int(p.rsplit(".", 1)[1]))


def per_call(path, calls):
    """{total, module, host calls, interpreter, entry} instructions per call of one dump."""
    total, module, host, interp = split(path)
    parts = dict(total=total, module=module, host_calls=host, interpreter=interp,
                 entry=total - module - host - interp)
    return {k: v / calls for k, v in parts.items()}


COLUMNS = ("total", "module", "host_calls", "interpreter", "entry")


def floor(parts, python_total):
    """What the ratio would be if the module's own code and the services it asks of the interpreter
    cost nothing: the host's callables and the call into the module remain."""
    return (parts["host_calls"] + parts["entry"]) / python_total


def format_table(rows, python=None):
    """rows: {label: per_call dict}; python: {label: instructions per call of the plain-Python peer}."""
    head = f"{'entry point':30}" + "".join(f"{c.replace('_', ' '):>12}" for c in COLUMNS)
    if python:
        head += f"{'python':>10}{'nat/py':>8}{'floor':>7}"
    out = [head]
    for label, parts in rows.items():
        line = f"{label:30}" + "".join(f"{parts[c]:12.0f}" for c in COLUMNS)
        if python and label in python:
            py = python[label]
            line += f"{py:10.0f}{parts['total'] / py:8.2f}{floor(parts, py):7.2f}"
        out.append(line)
    return "\n".join(out)


if __name__ == "__main__":
    for d in sys.argv[1:]:
        print(d)
        print(format_table({os.path.basename(p): per_call(p, 1) for p in dumps(d) if split(p)[0]}))
