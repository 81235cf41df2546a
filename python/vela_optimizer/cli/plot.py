"""The chart of a report: weights with their caps, risk shares, and group totals with their limits."""

from __future__ import annotations

import math
from typing import Any

from vela_optimizer.cli.report import METHOD_TITLES

# Families that draw Chinese names, the commonest first on each platform; any family whose name
# says CJK also serves.
CJK_FAMILIES = (
    "Noto Sans CJK SC",
    "Noto Sans SC",
    "Source Han Sans SC",
    "WenQuanYi Micro Hei",
    "WenQuanYi Zen Hei",
    "Microsoft YaHei",
    "SimHei",
    "PingFang SC",
    "Heiti SC",
    "Hiragino Sans GB",
    "Droid Sans Fallback",
    "AR PL UMing CN",
)

BAR = "#3b6ea5"
RISK = "#c8553d"
KEPT = "#9aa5b1"  # a holding kept outside the optimisation
LIMIT = "black"
# The most instruments drawn, largest first: at 0.28 inch a bar, about 17 inches of them.
MAX_BARS = 60


def cjk_family(available) -> str | None:
    """The first family of ``available`` (font family names) able to draw Chinese, or None."""
    names = set(available)
    for family in CJK_FAMILIES:
        if family in names:
            return family
    return next((n for n in sorted(names) if "CJK" in n), None)


# Where font packages put their files, for a font installed after matplotlib built its font cache.
FONT_DIRS = (
    "/usr/share/fonts",
    "/usr/local/share/fonts",
    "~/.local/share/fonts",
    "~/.fonts",
    "/Library/Fonts",
    "/System/Library/Fonts",
    "C:/Windows/Fonts",
)
CJK_FILE_WORDS = (
    "notosanscjk",
    "notoserifcjk",
    "sourcehansans",
    "wqy",
    "msyh",
    "simhei",
    "simsun",
    "pingfang",
    "droidsansfallback",
    "uming",
    "ukai",
)
NO_FONT = (
    "no font with Chinese characters is installed: the chart labels show ids instead of names "
    "(on Debian or Ubuntu: apt install fonts-noto-cjk)"
)


def cjk_files(dirs=FONT_DIRS) -> list:
    """Font files under ``dirs`` whose names say they draw Chinese."""
    from pathlib import Path

    found = []
    for d in dirs:
        root = Path(d).expanduser()
        if root.is_dir():
            found += [
                p
                for p in root.rglob("*")
                if p.suffix.lower() in (".ttf", ".otf", ".ttc")
                and any(w in p.name.lower().replace("-", "").replace("_", "") for w in CJK_FILE_WORDS)
            ]
    return sorted(found)


def chinese_font() -> tuple:
    """(the family to draw Chinese with or None, a warning when there is none).

    A font installed after matplotlib built its cache is not in its list: the usual font folders
    are searched and such files added before giving up.
    """
    from matplotlib import font_manager

    family = cjk_family(f.name for f in font_manager.fontManager.ttflist)
    if family is None:
        for path in cjk_files():
            try:
                font_manager.fontManager.addfont(str(path))
            except (OSError, RuntimeError, ValueError):  # a file matplotlib cannot read: try the next
                continue
        family = cjk_family(f.name for f in font_manager.fontManager.ttflist)
    return family, (None if family else NO_FONT)


def labels_for(rows, family) -> list:
    """Bar labels: "id name" when a Chinese-capable font is in use, else the id alone."""
    if family is None:
        return [r["id"] for r in rows]
    return [f"{r['id']} {r['name']}".rstrip() for r in rows]


def group_label(group: dict, family) -> str:
    """A group's label, or its code when the label needs a Chinese font that is not there."""
    label = str(group["label"])
    if family or label.isascii():
        return label
    return group.get("code") or "?"


def write_plot(path, report: dict) -> str | None:
    """Draw the report to the PNG file ``path``; returns a warning when no font draws Chinese.

    Left, the weights of the instruments held (zero weights left out, their count in the
    title; holdings kept outside the optimisation in grey among them) with a black tick at each
    cap below 100 % and at each floor above 0; middle, their
    shares of the portfolio variance; right (with group limits), each group's total with its
    floor and cap.

    Raises
    ------
    ImportError
        matplotlib is not installed.
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    family, warning = chinese_font()
    # rows come largest first: draw at most MAX_BARS of them, largest at the top (the figure grows
    # with each bar, and a whole market holds thousands: no one reads a bar chart that tall)
    # held ids kept outside the optimisation (the day's rules held them) are part of the portfolio
    # as much as the optimised weights: drawn among them in their own colour, with no risk share of
    # the optimised weights (the table and the JSON list them; the chart had left them out)
    optimised = [r for r in report["rows"] if r["weight"] != 0.0]
    kept = [
        dict(r, kept=True, risk_share=0.0, high=None, low=None)
        for r in report.get("kept_rows") or []
        if r["weight"] != 0.0
    ]
    every = sorted(optimised + kept, key=lambda r: -r["weight"])
    held = every[:MAX_BARS][::-1]
    left_out = len(report["rows"]) - len(optimised)
    notes = []
    kept_drawn = sum(bool(r.get("kept")) for r in held)
    if kept_drawn:
        notes.append(f"{kept_drawn} kept outside the optimisation")
    if len(every) > len(held):
        drawn = math.fsum(r["weight"] for r in held)
        notes.append(f"the {len(held)} largest of {len(every)} held, {drawn:.2%} of the weight")
    if left_out:
        notes.append(f"{left_out} at zero left out")
    groups = report.get("groups") or []
    panels = 3 if groups else 2
    height = max(3.0, 0.28 * len(held) + 1.6)
    rc: Any = {"font.family": [family, "DejaVu Sans"]} if family else {}
    with plt.rc_context(rc):
        fig, axes = plt.subplots(
            1, panels, figsize=(5.5 * panels, height), gridspec_kw={"width_ratios": [3, 3, 2][:panels]}
        )
        weights, risk = axes[0], axes[1]
        y = list(range(len(held)))
        weights.barh(y, [100 * r["weight"] for r in held], color=[KEPT if r.get("kept") else BAR for r in held])
        caps = [(i, 100 * r["high"]) for i, r in enumerate(held) if r["high"] is not None and r["high"] < 1]
        floors = [(i, 100 * r["low"]) for i, r in enumerate(held) if r["low"] is not None and r["low"] > 0]
        if caps:
            weights.scatter([c for _, c in caps], [i for i, _ in caps], marker="|", s=160, color=LIMIT, label="cap")
        if floors:
            weights.scatter(
                [f for _, f in floors], [i for i, _ in floors], marker="|", s=160, color="grey", label="floor"
            )
        if caps or floors:
            weights.legend(loc="lower right", fontsize=8)
        weights.set_yticks(y, labels_for(held, family))
        weights.set_xlabel("weight (%)")
        weights.set_title("Weights" + (f" ({'; '.join(notes)})" if notes else ""))
        risk.barh(y, [100 * r["risk_share"] for r in held], color=RISK)
        risk.set_yticks(y, [])
        risk.set_xlabel("share of portfolio variance (%)")
        risk.set_title("Risk contributions")
        for ax in (weights, risk):
            ax.grid(axis="x", alpha=0.3)
            ax.tick_params(axis="y", labelsize=8)
            ax.set_ylim(-0.6, len(held) - 0.4)
        if groups:
            g = axes[2]
            # bars as thick as the instruments' beside them, from the top: one group is not one wide block
            top = max(len(groups), len(held), 4) - 1
            gy = [top - k for k in range(len(groups))]
            g.barh(gy, [100 * x["weight"] for x in groups], color=BAR)
            for yy, x in zip(gy, groups):
                if x["high"] is not None:
                    g.plot([100 * x["high"]] * 2, [yy - 0.4, yy + 0.4], color=LIMIT, lw=2)
                if x["low"]:
                    g.plot([100 * x["low"]] * 2, [yy - 0.4, yy + 0.4], color="grey", lw=2)
            g.set_yticks(gy, [group_label(x, family) for x in groups])
            g.set_ylim(-0.6, top + 0.6)
            ends = [100 * max(x["weight"], x["high"] if x["high"] is not None else 0) for x in groups]
            g.set_xlim(0, 1.1 * max(ends + [1.0]))
            g.set_xlabel(f"weight by {report['group_label']} (%)")
            g.set_title("Group limits (floor grey, cap black)")
            g.grid(axis="x", alpha=0.3)
        fig.suptitle(f"{METHOD_TITLES[report['method']]}, {report['date_used']}, {len(every)} instruments held")
        fig.tight_layout()
        fig.savefig(path, dpi=110)
        plt.close(fig)
    return warning
