"""The table: the median of the runs for each figure and server, the spread
(min-max) beneath, and Kestrel's ratio to each peer."""
import statistics


def _number(value, unit):
    if isinstance(value, str):
        return value
    if unit in ("/s", "files/s") and value < 100:
        return "%.1f" % value if value >= 10 else "%.2f" % value
    return "%.0f" % value


def _ratio(k, p):
    if not p:
        return "-"
    r = k / p
    return "%.1f" % r if r >= 10 else "%.2f" % r


def _row_label(label, unit):
    return "  " + label + (" (%s)" % unit if unit else "")


class Column:
    def __init__(self, name, label, measurement=None, unavailable=None):
        self.name = name
        self.label = label
        self.m = measurement
        self.unavailable = unavailable  # reason, when the server could not be measured

    def median(self, key):
        vals = self.m.values.get(key) if self.m else None
        if not vals:
            return None
        if isinstance(vals[0], str):
            return "yes" if all(v == "yes" for v in vals) else "no (%d/%d)" % (
                sum(v == "yes" for v in vals), len(vals))
        return statistics.median(vals)

    def spread(self, key):
        vals = self.m.values.get(key) if self.m else None
        if not vals or isinstance(vals[0], str) or len(vals) < 2:
            return None
        return min(vals), max(vals)


def _partial_ref(notes, column, key, label):
    """A figure from runs in which some sessions failed says so."""
    runs = column.m.partial.get(key) if column.m else None
    if not runs:
        return ""
    counts = sorted(n for n, _ in runs)
    span = str(counts[0]) if counts[0] == counts[-1] else "%d–%d" % (counts[0], counts[-1])
    return notes.ref("%s, %s: %s session(s) failed in %d of %d run(s) and are not counted; first: %s"
                     % (column.label, label, span, len(runs), len(column.m.values.get(key, [])), runs[0][1]))


class Notes:
    def __init__(self):
        self.items = []

    def ref(self, text):
        if text not in self.items:
            self.items.append(text)
        return "[%d]" % (self.items.index(text) + 1)


def table(groups, columns, kestrels, peers):
    """The table as text. kestrels and peers are lists of Column (also in columns)."""
    notes = Notes()
    label_w = 4 + max(len(_row_label(label, unit)) for _, _, rows in groups for _, label, unit in rows)
    cell_w = 12
    ratio_w = 2 + max([len(p.label) for p in peers] + [6])
    head1 = " " * label_w + "".join(c.label.split("/")[0].rjust(cell_w) for c in columns)
    head2 = "Figure".ljust(label_w) + "".join(
        (c.label.split("/")[1] if "/" in c.label else "").rjust(cell_w) for c in columns)
    ratio_heads = [(k, p) for k in kestrels for p in peers]
    if ratio_heads:
        head1 += "   " + "".join(("%s ÷" % k.label).rjust(ratio_w * len(peers)) for k in kestrels)
        head2 += "   " + "".join(p.label.rjust(ratio_w) for _, p in ratio_heads)
    lines = [head1.rstrip(), head2.rstrip(), "-" * len(head2)]
    for title, better, rows in groups:
        suffix = {"higher": " (higher is better)", "lower": " (lower is better)"}.get(better, "")
        lines.append(title + suffix)
        for key, label, unit in rows:
            cells = []
            for c in columns:
                if c.unavailable:
                    cells.append("n/a" + notes.ref("%s: %s" % (c.label, c.unavailable)))
                    continue
                v = c.median(key)
                if v is None:
                    err = c.m.errors.get(key) or "no value"
                    if err.startswith("skipped: "):
                        cells.append("skipped" + notes.ref("%s, %s: %s" % (c.label, label, err[9:])))
                    elif err.startswith("n/a: "):
                        # One note per server and reason, however many rows it empties.
                        cells.append("n/a" + notes.ref("%s: %s" % (c.label, err[5:])))
                    else:
                        cells.append("fail" + notes.ref("%s, %s: %s" % (c.label, label, err)))
                else:
                    cells.append(_number(v, unit) + _partial_ref(notes, c, key, label))
            text = _row_label(label, unit).ljust(label_w)
            text += "".join(x.rjust(cell_w) for x in cells)
            if ratio_heads:
                rs = []
                for k, p in ratio_heads:
                    kv, pv = (k.median(key) if not k.unavailable else None), (
                        p.median(key) if not p.unavailable else None)
                    # A ratio of a negative or zero reading (MemAvailable noise) means nothing.
                    ok = isinstance(kv, (int, float)) and isinstance(pv, (int, float)) and kv > 0 and pv > 0
                    rs.append(_ratio(kv, pv) if ok else "-")
                text += "   " + "".join(x.rjust(ratio_w) for x in rs)
            lines.append(text.rstrip())
            spreads = [c.spread(key) if not c.unavailable else None for c in columns]
            if any(spreads):
                text = "    min–max".ljust(label_w) + "".join(
                    ("%s–%s" % (_number(s[0], unit), _number(s[1], unit)) if s else "").rjust(cell_w)
                    for s in spreads)
                lines.append(text.rstrip())
    if notes.items:
        lines.append("")
        lines += ["[%d] %s" % (i + 1, t) for i, t in enumerate(notes.items)]
    return "\n".join(lines)


def raw_values(columns):
    """Every run's value, for comparing runs later."""
    out = []
    for c in columns:
        if not c.m:
            continue
        for key in sorted(c.m.values):
            vals = c.m.values[key]
            out.append("%s %s: %s" % (c.name, key, " ".join(
                v if isinstance(v, str) else ("%.3f" % v).rstrip("0").rstrip(".") for v in vals)))
        for note in c.m.notes:
            out.append("%s note: %s" % (c.name, note))
    return "\n".join(out)
