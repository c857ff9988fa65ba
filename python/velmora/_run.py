"""Networks of modules: velmora.modules() and velmora.run()."""
import json
import os

import numpy as np

from . import _core

# The data types of the network format and the numpy types they become.
_DTYPES = {"byte": np.uint8, "char": np.uint8, "short": np.int16, "int": np.int32, "long": np.int64,
           "float": np.float32, "double": np.float64}


def modules():
    """The modules, each a dict: name, summary, entries (the exported
    functions, the update first) and members (name, kind, default, role of
    every parameter, input and output an instance of it declares)."""
    return _core.modules()


def _arrays(value):
    """Turns the value lists of a dumped field into numpy arrays."""
    if isinstance(value, dict):
        out = {}
        for key, v in value.items():
            if key == "values" and isinstance(v, list) and "type" in value and value["type"] in _DTYPES:
                out[key] = _numbers(v, _DTYPES[value["type"]])
            elif key in ("coord", "points", "connect", "node_connect_list", "poly_connect_list") and _flat_numbers(v):
                out[key] = _numbers(v, np.float32 if key in ("coord", "points") else np.int64)
            else:
                out[key] = _arrays(v)
        return out
    if isinstance(value, list):
        return [_arrays(v) for v in value]
    return value


def _flat_numbers(v):
    return isinstance(v, list) and all(isinstance(x, (int, float)) or x in ("nan", "inf", "-inf") for x in v)


def _numbers(values, dtype):
    if not _flat_numbers(values):
        return _arrays(values)
    return np.array([float(x) if isinstance(x, str) else x for x in values], dtype=dtype)


class RunResult:
    """What a run left: `fields` (name -> field description, with its value
    lists as numpy arrays), `instances` (name -> parameters, outputs and
    links after the run), `calls` (instance, entry, result in order),
    `messages` (the texts reported), `printed` (what the modules printed)
    and `dump` (the whole dump as JSON, as `velmora run --dump` writes it)."""

    def __init__(self, raw):
        self.dump = json.loads(raw["dump"])
        self.messages = list(raw["messages"])
        self.printed = raw["printed"]
        self.fields = _arrays(self.dump.get("fields", {}))
        run = self.dump.get("run", {})
        self.instances = _arrays(run.get("instances", {}))
        self.calls = run.get("calls", [])

    def __repr__(self):
        return f"RunResult({len(self.fields)} fields, {len(self.instances)} instances, {len(self.calls)} calls)"


def run(network, *, name="<network>", dump_limit=None, writes_anywhere=False):
    """Runs a network on velmora's host, as `velmora run --dump` does.

    network: a dict in the form of a network file, or the path of one.
    Returns a RunResult whose arrays are copies (numpy arrays made from the
    dump), so they outlive the run. A rejected network raises NetworkError
    with the command's status-2 message; a module that fails raises
    ModuleError with the module's exact text. As the command, writer modules
    write only inside the current folder unless writes_anywhere is true."""
    limit = _core.default_dump_limit if dump_limit is None else int(dump_limit)
    if isinstance(network, dict):
        try:
            text = json.dumps(network, allow_nan=False)
        except (TypeError, ValueError) as e:
            raise NetworkError(f"{name}: error: the network is not JSON: {e}") from None
        raw = _core.run_network(text, False, str(name), limit, bool(writes_anywhere))
    elif isinstance(network, (str, os.PathLike)):
        raw = _core.run_network(os.fspath(network), True, "", limit, bool(writes_anywhere))
    else:
        raise TypeError(f"network must be a dict or a path, not {type(network).__name__}")
    return RunResult(raw)


from ._errors import NetworkError  # noqa: E402  (kept last: no cycle with _core)
