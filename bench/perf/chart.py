"""Draws the page's chart: one horizontal bar a row, the Davro figure over its baseline on a
log scale, coloured by its target. Needs matplotlib (Debian: python3-matplotlib)."""

import math
from collections import namedtuple

from perf.judge import targets_of_row
from perf.labels import operation_text, ordered_families
from perf.results import build_rows, row_ratio

# `mark` is the target's bound as a time ratio (None without a target on this baseline),
# `met` whether the target is met (None without one).
Bar = namedtuple("Bar", "label ratio mark met")

MET, MISSED, UNBOUNDED = "#2e9d5b", "#d64545", "#9aa5b1"


def bars(figures, targets):
    """The bars in the page's order: every row that has a Davro figure and a baseline."""
    rows = build_rows(figures)
    out = []
    for family in ordered_families(rows):
        for operation, threads, cells in rows[family]:
            _, base, ratio = row_ratio(cells)
            if ratio is None:
                continue
            label = "%s: %s" % (family, operation_text(family, operation))
            if threads > 1:
                label += ", %d threads" % threads
            mark, met = None, None
            for target in targets_of_row(targets, family, operation, threads):
                if target["den"] is base and target["ratio"] is not None:
                    # A bound on throughput is the inverse bound on time.
                    mark = target["bound"] if target["kind"] == "time" else 1 / target["bound"]
                    met = target["met"]
            out.append(Bar(label, ratio, mark, met))
    return out


def axis_range(chart_bars):
    """Powers of two around every ratio and mark, and at least ¼× to 4×."""
    values = [b.ratio for b in chart_bars] + [b.mark for b in chart_bars if b.mark]
    low, high = min([0.25] + values), max([4.0] + values)
    return 2.0 ** math.floor(math.log2(low)), 2.0 ** math.ceil(math.log2(high))


def write_chart(path, figures, targets):
    """Writes the chart as SVG to `path` and returns the number of bars. The file is the
    same for the same figures: no date, fixed element ids, text kept as text."""
    # Imported here, so that the rest of the report can be used and tested without it.
    import matplotlib
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    chart_bars = bars(figures, targets)
    low, high = axis_range(chart_bars)
    settings = {"svg.hashsalt": "davro-bench", "svg.fonttype": "none", "font.size": 9,
                "font.family": "DejaVu Sans"}
    with matplotlib.rc_context(settings):
        figure = Figure(figsize=(10, 1.4 + 0.24 * len(chart_bars)))
        axes = figure.add_subplot()
        axes.set_xscale("log", base=2)
        axes.set_xlim(low, high)
        ticks = [2.0 ** e for e in range(round(math.log2(low)), round(math.log2(high)) + 1)]
        axes.set_xticks(ticks, ["%g×" % t for t in ticks])
        axes.minorticks_off()
        axes.grid(axis="x", color="#dddddd")
        axes.set_axisbelow(True)
        axes.axvline(1, color="black", linewidth=1)
        positions = range(len(chart_bars))
        axes.barh(positions, [abs(b.ratio - 1) for b in chart_bars],
                  left=[min(b.ratio, 1) for b in chart_bars], height=0.75,
                  color=[UNBOUNDED if b.met is None else MET if b.met else MISSED
                         for b in chart_bars])
        for y, bar in enumerate(chart_bars):
            # The figure right of the bar, and right of the target's tick where that is
            # further out.
            axes.text(max(bar.ratio, 1, bar.mark or 0) * 1.04, y, "%.2f×" % bar.ratio,
                      va="center", color="#333333")
            if bar.mark:
                axes.plot([bar.mark, bar.mark], [y - 0.42, y + 0.42], color="black",
                          linewidth=2)
        axes.set_yticks(list(positions), [b.label for b in chart_bars])
        axes.set_ylim(len(chart_bars) - 0.5, -0.5)
        axes.tick_params(axis="y", length=0)
        for side in ("top", "right", "left"):
            axes.spines[side].set_visible(False)
        axes.set_title("Davro ÷ baseline (time per operation, log scale; left of 1 is faster)",
                       loc="left", fontsize=11, fontweight="bold")
        axes.legend(handles=[Patch(color=MET, label="target met"),
                             Patch(color=MISSED, label="target missed"),
                             Patch(color=UNBOUNDED, label="no target"),
                             Line2D([], [], color="black", linewidth=2, label="the target")],
                    loc="upper center", bbox_to_anchor=(0.5, -0.6 / figure.get_figheight()),
                    ncol=4, frameon=False)
        figure.savefig(path, format="svg", bbox_inches="tight", metadata={"Date": None})
    return len(chart_bars)
