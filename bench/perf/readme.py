"""Rewrites the README's performance block: the block between two HTML comments that the
README keeps for it, with the measured target ratios."""

from perf.text import INSTRUCTIONS, anchor, bound_text

BEGIN = "<!-- performance:begin -->"
END = "<!-- performance:end -->"


def block(targets, info, markdown_link, instructions=None):
    """The block's text, markers included."""
    measured = [t for t in targets if t["ratio"] is not None]
    lines = [BEGIN,
             "Measured by the `bench` workflow on %s (%s processors), %s; %d of %d targets met. "
             "Details: [%s](%s)." % (info["cpu"], info["nproc"], info["date"][:10],
                                     sum(1 for t in measured if t["met"]), len(measured),
                                     markdown_link, markdown_link),
             "", "| ratio | measured | target |", "|---|---|---|"]
    for target in measured:
        lines.append("| %s | %.2f× | %s |" % (target["what"], target["ratio"], bound_text(target)))
    if instructions:
        bounded = [t for t in instructions["targets"] if t["bound"] is not None]
        lines.append("")
        lines.append("Instruction counts per operation (callgrind): %d of %d targets met; see "
                     "[%s](%s#%s)." % (sum(1 for t in bounded if t["met"]), len(bounded),
                                       INSTRUCTIONS.lower(), markdown_link, anchor(INSTRUCTIONS)))
    lines.append(END)
    return "\n".join(lines)


def update_readme(path, targets, info, markdown_link, instructions=None):
    """Replaces the README's performance block; False (and the file untouched) where the
    README has no such block."""
    with open(path, encoding="utf-8") as stream:
        text = stream.read()
    begin, end = text.find(BEGIN), text.find(END)
    if begin < 0 or end < begin:
        return False
    text = (text[:begin] + block(targets, info, markdown_link, instructions) +
            text[end + len(END):])
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(text)
    return True
