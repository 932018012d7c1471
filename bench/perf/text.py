"""Number formats and headings shared by the page and the README block."""

import re

SIDE_BY_SIDE = "Linux and Windows (under Wine) side by side"
INSTRUCTIONS = "Instructions per operation"


def anchor(title):
    """The anchor that GitHub gives a heading."""
    return re.sub(r"[^\w\- ]", "", title.lower()).replace(" ", "-")


def duration(ns):
    """A time with three significant digits at most, in the largest unit below it."""
    for unit, size in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= size:
            return "%.3g %s" % (ns / size, unit)
    return "%.3g ns" % ns


def bound_text(target):
    sign = "≤" if target["comparison"] == "<=" else "≥"
    return "%s %g×" % (sign, target["bound"])


def ratio_text(ratio):
    """A ratio with three significant digits at most, without an exponent."""
    return "%.*f×" % (0 if ratio >= 100 else 1 if ratio >= 10 else 2, ratio)
