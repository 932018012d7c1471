"""Sets measured figures and instruction counts against the targets of targets.py."""

from perf import targets as table
from perf.results import find


def ratio_met(ratio, comparison, bound):
    """Whether `ratio` keeps to `bound`; None when either is missing."""
    if ratio is None or bound is None:
        return None
    return ratio <= bound if comparison == "<=" else ratio >= bound


def evaluate(figures, targets=None):
    """Each time or throughput target with its measured ratio (None when not measured) and
    whether it is met, as dicts in the table's order."""
    results = []
    for what, timed in targets if targets is not None else table.timed():
        num, den = find(figures, timed.numerator), find(figures, timed.denominator)
        ratio = None
        if num and den:
            if timed.kind == "time" and den.ns > 0:
                ratio = num.ns / den.ns
            elif timed.kind == "rate" and den.throughput():
                ratio = num.throughput() / den.throughput()
        results.append(dict(what=what, num=num, den=den, kind=timed.kind,
                            comparison=timed.comparison, bound=timed.bound, ratio=ratio,
                            met=ratio_met(ratio, timed.comparison, timed.bound),
                            num_ref=timed.numerator, den_ref=timed.denominator,
                            against=timed.against))
    return results


def targets_of_row(targets, family, operation, threads):
    """The evaluated targets whose numerator is the row's figure."""
    found = []
    for target in targets:
        path, _, wanted = target["num_ref"].partition("@")
        fam, op, _ = path.split("/")
        if fam == family and op == operation and (not wanted or int(wanted) == threads):
            found.append(target)
    return found


def reported(figures):
    """[(what, ratio)] of the ratios reported without a bound that were measured."""
    out = []
    for what, num_ref, den_ref in table.REPORTED:
        num, den = find(figures, num_ref), find(figures, den_ref)
        if num and den and den.ns > 0:
            out.append((what, num.ns / den.ns))
    return out


def evaluate_counts(per_op, targets=None):
    """Each instruction-count target with its counts, ratio and whether it is met (None
    without a bound or a count), as dicts in the table's order."""
    results = []
    for counted in targets if targets is not None else table.counted():
        count, base = per_op.get(counted.path), per_op.get(counted.baseline)
        ratio = count / base if count is not None and base else None
        results.append(dict(what=counted.what, path=counted.path, baseline=counted.baseline,
                            count=count, baseline_count=base, ratio=ratio, bound=counted.bound,
                            met=ratio_met(ratio, "<=", counted.bound)))
    return results
