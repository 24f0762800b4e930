"""Bar charts of a run's medians, drawn with matplotlib from the same results
as the tables (report.py), by the same command: one PNG per operation (each
payload a group of bars, one bar per system: quillane_core, the floor and
every peer; cached data on the left, fresh JSON on the right) and a summary
of quillane_core's ratios. run.py calls `draw` after the run; without
matplotlib it draws nothing and says so.
"""

from __future__ import annotations

import os
from typing import Any

import systems as system_module
from report import DATA_KINDS, OPERATIONS, PayloadResult, fastest_peer

# The systems shown, in bar order, and their colours: this module stands out,
# the floor is grey, the peers share a muted palette. The pure-Python
# baseline is in the tables only.
BARS = ["quillane", "floor", *(s.key for s in system_module.PEERS)]
COLOURS = {
    "quillane": "#d1495b",
    "floor": "#8c8c8c",
    "msgspec": "#00798c",
    "pydantic": "#edae49",
    "jsonschema_rs": "#30638e",
    "fastjsonschema": "#66a182",
    "jsonschema": "#6b4e71",
}
LABELS = {s.key: s.label for s in system_module.ALL_SYSTEMS}
# A panel whose bars span more than this factor gets a log scale.
LOG_SPREAD = 20.0


def file_name(op: str) -> str:
    return f"{op.replace('_', '-')}.png"


def time_ticks(axis: Any) -> None:
    """Tick labels in ns, µs, ms and s instead of powers of ten."""
    from matplotlib.ticker import FuncFormatter

    def label(seconds: float, _: Any) -> str:
        for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
            if seconds >= scale:
                return f"{seconds / scale:g} {unit}"
        return f"{seconds / 1e-9:g} ns"

    axis.yaxis.set_major_formatter(FuncFormatter(label))


def scale_for(axis: Any, values: list[float]) -> None:
    if values and max(values) / min(values) > LOG_SPREAD:
        axis.set_yscale("log")


def operation_chart(results: list[PayloadResult], op: str, label: str, path: str) -> None:
    import matplotlib.pyplot as plt

    shown = [key for key in BARS if any(key in r.times[kind][op] for r in results for kind, _ in DATA_KINDS)]
    figure, axes = plt.subplots(1, 2, figsize=(15, 5.2), sharey=True, layout="constrained")
    width = 0.8 / max(1, len(shown))
    every = []
    for axis, (kind, kind_label) in zip(axes, DATA_KINDS, strict=True):
        for i, key in enumerate(shown):
            xs, heights = [], []
            for group, result in enumerate(results):
                t = result.times[kind][op].get(key)
                if t is not None:
                    xs.append(group - 0.4 + width * (i + 0.5))
                    heights.append(t)
            every += heights
            axis.bar(xs, heights, width, label=LABELS[key], color=COLOURS.get(key, "#999999"))
        axis.set_xticks(range(len(results)), [r.payload.title for r in results], rotation=20, ha="right")
        axis.set_title(kind_label)
        axis.grid(axis="y", which="major", alpha=0.3)
        axis.set_axisbelow(True)
    scale_for(axes[0], every)
    time_ticks(axes[0])
    axes[0].set_ylabel("median time per call (lower is faster)")
    axes[1].legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), frameon=False)
    figure.suptitle(f"{label}: time per call")
    figure.savefig(path, dpi=80)
    plt.close(figure)


def summary_chart(results: list[PayloadResult], path: str) -> None:
    """quillane_core against the floor, against itself (collect ÷ validate) and
    against the fastest peer, per payload, cached and fresh JSON side by side."""
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter

    def mine(result: PayloadResult, kind: str, op: str) -> float | None:
        return result.times[kind][op].get("quillane")

    def over_floor(result: PayloadResult, kind: str) -> float | None:
        t, floor = mine(result, kind, "validate_valid"), result.times[kind]["validate_valid"].get("floor")
        return t / floor if t and floor else None

    def collect_over_validate(result: PayloadResult, kind: str) -> float | None:
        c, v = mine(result, kind, "collect_valid"), mine(result, kind, "validate_valid")
        return c / v if c and v else None

    def peer_over_mine(op: str) -> Any:
        def ratio(result: PayloadResult, kind: str) -> float | None:
            t, peer = mine(result, kind, op), fastest_peer(result.times[kind][op])
            return peer[1] / t if t and peer else None

        return ratio

    panels = [
        ("validate ÷ floor, valid instance\n(below 1× is faster than the floor)", [("", over_floor)]),
        ("collect ÷ validate, valid instance\n(what listing errors adds)", [("", collect_over_validate)]),
        (
            "fastest peer ÷ quillane_core\n(how many times faster; collect against peers that list every error)",
            [
                ("validate, valid", peer_over_mine("validate_valid")),
                ("collect, invalid", peer_over_mine("collect_invalid")),
            ],
        ),
    ]
    figure, axes = plt.subplots(1, 3, figsize=(17, 5.4), layout="constrained")
    for axis, (title, series) in zip(axes, panels, strict=True):
        bars = [(what, kind, kind_label) for what, _ in series for kind, kind_label in DATA_KINDS]
        width = 0.8 / len(bars)
        heights_all = []
        for i, (what, kind, kind_label) in enumerate(bars):
            ratio = dict(series)[what]
            xs, heights = [], []
            for group, result in enumerate(results):
                value = ratio(result, kind)
                if value is not None:
                    xs.append(group - 0.4 + width * (i + 0.5))
                    heights.append(value)
            heights_all += heights
            name = f"{what}, {kind_label}" if what else kind_label
            shade = "#d1495b" if kind == "fresh" else "#f0a5ae"
            if what.startswith("collect"):
                shade = "#30638e" if kind == "fresh" else "#9bb7d4"
            axis.bar(xs, heights, width, label=name, color=shade)
        axis.axhline(1.0, color="black", linewidth=0.8)
        scale_for(axis, [*heights_all, 1.0])
        axis.set_xticks(range(len(results)), [r.payload.title for r in results], rotation=20, ha="right")
        axis.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}×"))
        axis.set_title(title, fontsize=10)
        axis.grid(axis="y", alpha=0.3)
        axis.set_axisbelow(True)
        axis.legend(fontsize=8, frameon=False, loc="best")
    figure.suptitle("quillane_core, medians of one run")
    figure.savefig(path, dpi=80)
    plt.close(figure)


def draw(results: list[PayloadResult], directory: str) -> list[tuple[str, str]]:
    """Writes the charts into directory; (title, file name) of each, or [] when
    matplotlib is not installed or there is nothing to draw."""
    if not results:
        return []
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no charts", flush=True)
        return []
    matplotlib.use("Agg")
    os.makedirs(directory, exist_ok=True)
    drawn = [("Summary: quillane_core against the floor, itself and the fastest peer", "summary.png")]
    summary_chart(results, os.path.join(directory, "summary.png"))
    for op, label in OPERATIONS:
        operation_chart(results, op, label, os.path.join(directory, file_name(op)))
        drawn.append((f"{label}: time per call", file_name(op)))
    return drawn
