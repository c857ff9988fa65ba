"""The options of velmora's commands, from the library's one table of them
(name, type, default, bounds, units, help): the Python functions take their
defaults and checks from it, and the batch command's parser is built from
it, so that a bound refused here is refused by the program in the same
words."""
import numbers

from . import _core

TABLE = tuple(_core.options())


def option(command, name):
    """The table's entry of a command's option; name as a keyword (min_cells) or as written (min-cells)."""
    name = name.replace("_", "-")
    for o in TABLE:
        if o["name"] == name and command in o["commands"]:
            return o
    raise KeyError(f"velmora {command} has no option --{name}")


def default(command, name):
    """The default of an option: a str, int, float or tuple of floats; None for none."""
    return option(command, name)["default"]


def _text(value):
    """A number as the library reads it: Python's own spelling (nan, inf, 1e+20, 12345678901234567890)."""
    return str(value) if isinstance(value, numbers.Integral) else repr(float(value))


def checked(command, name, value):
    """value as the option takes it (int, float, list of floats, str); None stays None. TypeError for a value of
    the wrong kind, ValueError naming the option and its bounds, as the program's message."""
    o = option(command, name)
    key = name.replace("-", "_")
    if value is None or o["type"] == "text":
        return value
    if o["type"] == "numbers":
        if isinstance(value, (str, bytes)) or not hasattr(value, "__iter__"):
            raise TypeError(f"{key} must be numbers, not {type(value).__name__}")
        values = [checked_number(o, key, v) for v in value]
        if o["count"] and len(values) != o["count"]:
            raise ValueError(f"{key}: {o['count']} numbers ({o['metavar']}), not {len(values)}")
        if not values:
            raise ValueError(f"{key}: one number or more ({o['metavar']})")
        return values
    return checked_number(o, key, value)


def checked_number(o, key, value):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{key} must be a number, not {type(value).__name__}")
    problem = _core.option_problem(o["commands"][0], o["name"], _text(value))
    if problem:
        raise ValueError(f"{key}: {problem}")
    return int(value) if o["type"] == "integer" else float(value)


def check(command, **values):
    """The values checked as the command's options (checked()), in a dict of the same keys."""
    return {k: checked(command, k, v) for k, v in values.items()}
