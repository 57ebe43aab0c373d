"""What every benchmark section shares: medians over interleaved rounds,
result rows, and the table they are printed as."""

import os
import statistics
import time
from dataclasses import dataclass, field


@dataclass
class Row:
    """One line of the results table."""

    section: str
    case: str
    figures: str  # the medians, in words
    ratio: str = ""  # the ratio the target is about, as text
    target: str = ""  # the target, as text ("" when none)
    met: bool | None = None  # None when the row has no target

    def verdict(self):
        if self.met is None:
            return ""
        return "yes" if self.met else "NO"


@dataclass
class Report:
    rows: list = field(default_factory=list)
    notes: list = field(default_factory=list)

    def add(self, *args, **kwargs):
        row = Row(*args, **kwargs)
        self.rows.append(row)
        print(f"  {row.case}: {row.figures}  {row.ratio}  {row.verdict()}", flush=True)
        return row


def process_status():
    """Resident memory (KiB) and thread count of this process."""
    rss = threads = 0
    with open("/proc/self/status", encoding="utf-8") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
    return rss, threads


def median(values):
    return statistics.median(values)


def paired_ratio(numerators, denominators):
    """The median of per-round ratios: each round's two figures were taken
    back to back, so a change in the machine's load between rounds cancels."""
    return statistics.median(a / b for a, b in zip(numerators, denominators))


def ratio_spread(numerators, denominators):
    """The lowest and highest per-round ratio, as text: how far one round
    can stray on this machine."""
    ratios = [a / b for a, b in zip(numerators, denominators)]
    return f"{min(ratios):.2f}-{max(ratios):.2f}"


def rotated(items, round_index):
    """The items in an order that changes every round, so no variant always
    runs first (with a cold cache) or last (after the others warmed it)."""
    k = round_index % len(items)
    return items[k:] + items[:k]


def format_table(report):
    headers = ("section", "case", "medians", "ratio", "target", "met")
    lines = [(r.section, r.case, r.figures, r.ratio, r.target, r.verdict()) for r in report.rows]
    widths = [max(len(h), *(len(line[i]) for line in lines)) if lines else len(h)
              for i, h in enumerate(headers)]

    def fmt(cells):
        return "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"

    out = [fmt(headers), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    out += [fmt(line) for line in lines]
    return "\n".join(out)


def machine_text():
    """nproc, CPU model, memory and the load average right now."""
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    mem_gib = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return f"{os.cpu_count()} CPUs ({model}), {mem_gib:.0f} GiB RAM, load average {load}"


class Stopwatch:
    """Wall and CPU time of a block."""

    def __enter__(self):
        self.wall0 = time.perf_counter()
        self.cpu0 = time.process_time()
        return self

    def __exit__(self, *exc):
        self.wall = time.perf_counter() - self.wall0
        self.cpu = time.process_time() - self.cpu0
        return False
