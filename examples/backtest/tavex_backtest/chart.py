"""Charts of a run and of a sweep, drawn with matplotlib off screen (Agg).

A run: the closes with the fills marked (buys up, sells down), equity and its
drawdown underneath, then the P&L of each UTC day. A sweep: a heat map of one
measure over two swept parameters.
"""

from __future__ import annotations

import importlib
import math
from typing import Any, Dict, List, Optional, Sequence, Tuple

from tavex import OrderStatus, TradeKind, TradeSide

from . import _native
from .api import DEFAULT_STRATEGY, run
from .inputs import open_feed, prepare
from .layout import Options
from .settings import Numbers, Settings, optional
from .stats import BY_NAME

BUY, SELL = "#1a9850", "#d73027"  # the fills' colors and only theirs
GAIN, LOSS = "#91cf60", "#fc8d59"
SHOWN_VALUES = 15  # cells per side up to which the heat map writes its numbers
HEAT_MAP_NEEDS = "a sweep's chart is a heat map: sweep two parameters over 2+ values each"
FILLS = (OrderStatus.PartialFilled, OrderStatus.Filled)


def varying(names: Sequence[str], combos: Sequence[Dict[str, Any]]) -> List[str]:
    """The swept parameters that take more than one value."""
    return [n for n in names if len({c[n] for c in combos}) > 1]


def pyplot() -> Any:
    matplotlib = optional("matplotlib", "chart")
    matplotlib.use("Agg")
    return importlib.import_module("matplotlib.pyplot")


def numpy() -> Any:
    return optional("numpy", "chart")


def save(fig: Any, path: str) -> None:
    fig.savefig(path, dpi=84, pil_kwargs={"optimize": True})
    pyplot().close(fig)


def run_chart(path: str, chart_path: str, strategy: Any = DEFAULT_STRATEGY,
              params: Optional[Dict[str, Any]] = None, settings: Settings = Settings(),
              options: Options = Options()) -> None:
    """Back-tests `path` on the native side and draws the run into `chart_path`."""
    plt, np = pyplot(), numpy()
    result = run(path, strategy, params=params, settings=settings, options=options)
    if not result.equity:
        raise ValueError(f"{path}: no candles to chart")
    used = result.settings
    pair = _native.make_pair(TradeKind.Spot, "X", "X", "Y", 0.0, 0.0, 0.0)
    closes = [c.close for c in open_feed(prepare(path, options), True, pair)]
    times = np.array(result.close_ms, dtype="datetime64[ms]")
    equity = np.array(result.equity)
    fig, (price, worth, fall, daily) = plt.subplots(
        4, 1, sharex=True, figsize=(10, 7.5), layout="constrained",
        gridspec_kw={"height_ratios": [3, 1.6, 1, 1.4]})
    stats, numbers = result.stats, Numbers(used)
    fig.suptitle(f"{used.code}, {result.strategy}: net {numbers.amount(stats['net'], sign=True)} "
                 f"{used.quote} ({stats['return']:+.2%}) after {numbers.amount(stats['fees'])} "
                 f"fees, {stats['fills']} fills", fontsize=11)
    price.plot(times, closes, lw=0.6, color="0.35", label="close")
    fills = [(stamp, o.filled_price, o.side == TradeSide.Long)
             for stamp, o in result.orders if o.status in FILLS]
    for bought, color, marker, label in ((True, BUY, "^", "buy"), (False, SELL, "v", "sell")):
        marks = [(t, p) for t, p, b in fills if b == bought]
        if marks:
            at, prices = zip(*marks)
            price.scatter(np.array(at, dtype="datetime64[ms]"), prices, s=22, marker=marker,
                          color=color, label=f"{label} fills", zorder=3, linewidths=0)
    price.set_ylabel(used.quote)
    # The tick's digits on the price axis: a pair at 0.00003 reads as one.
    price.yaxis.set_major_formatter(f"{{x:,.{numbers.price_digits}f}}")
    price.legend(loc="upper left", fontsize=8, ncol=3)
    worth.plot(times, equity, lw=0.8, color="#4575b4")
    worth.axhline(used.cash, lw=0.6, color="0.6", ls="--")
    worth.set_ylabel("equity")
    fall.fill_between(times, equity - np.maximum.accumulate(np.maximum(equity, used.cash)), 0.0,
                      color=LOSS, alpha=0.5, lw=0)
    fall.set_ylabel("drawdown")
    # Each day's bar spans the part of it the candles cover.
    periods = result.ledger.days
    days = np.array([d.day.replace(tzinfo=None) for d in periods], dtype="datetime64[ms]")
    starts = np.maximum(days, times[0])
    ends = np.minimum(days + np.timedelta64(1, "D"), times[-1])
    pnl = [d.pnl for d in periods]
    daily.bar(starts, pnl, width=0.94 * (ends - starts) / np.timedelta64(1, "D"), align="edge",
              color=[GAIN if p >= 0 else LOSS for p in pnl])
    daily.axhline(0.0, lw=0.6, color="0.4")
    daily.set_ylabel("P&L per day")
    daily.set_xlim(times[0], times[-1])  # a partial day's bar is not to stretch the axis
    for ax in (price, worth, fall, daily):
        ax.grid(True, lw=0.3, alpha=0.6)
    save(fig, chart_path)


def heat_map(chart_path: str, names: Sequence[str], outcomes: Sequence[Any],
             by: str) -> None:
    """The measure `by` over the first two swept parameters (the best over any others)."""
    plt, np = pyplot(), numpy()
    swept = varying(names, [o.params for o in outcomes])
    if len(swept) < 2:
        raise ValueError(HEAT_MAP_NEEDS)
    x_name, y_name, *others = swept
    xs = sorted({o.params[x_name] for o in outcomes})
    ys = sorted({o.params[y_name] for o in outcomes})
    stat = BY_NAME[by]
    title, descending = stat.title, stat.higher_is_better
    best: Dict[Tuple[Any, Any], float] = {}
    failed = set()
    for o in outcomes:
        cell = (o.params[x_name], o.params[y_name])
        if o.error is not None:
            failed.add(cell)
            continue
        raw = o.result[by]
        value = math.nan if raw is None else float(raw)
        if math.isnan(value):
            continue
        old = best.get(cell)
        if old is None or (value > old if descending else value < old):
            best[cell] = value
    grid = np.full((len(ys), len(xs)), math.nan)
    for (x, y), value in best.items():
        grid[ys.index(y), xs.index(x)] = value
    fig, ax = plt.subplots(figsize=(1.2 + 0.62 * max(len(xs), 5), 1.3 + 0.42 * max(len(ys), 5)),
                           layout="constrained")
    image = ax.imshow(grid, origin="lower", aspect="auto",
                      cmap="RdYlGn" if descending else "RdYlGn_r")
    fig.colorbar(image, ax=ax, label=f"{by}: {title}")
    ax.set_xticks(range(len(xs)), [str(x) for x in xs])
    ax.set_yticks(range(len(ys)), [str(y) for y in ys])
    ax.set_xlabel(x_name)
    ax.set_ylabel(y_name)
    ax.set_title(f"{by} over {x_name} and {y_name}" +
                 (f" (best over {', '.join(others)})" if others else ""), fontsize=10)
    if len(xs) <= SHOWN_VALUES and len(ys) <= SHOWN_VALUES:
        for (x, y), value in best.items():
            text = f"{value:.1%}" if stat.unit == "%" else f"{value:.0f}" if stat.unit == "" \
                and value == int(value) else f"{value:.2f}"
            ax.text(xs.index(x), ys.index(y), text,
                    ha="center", va="center", fontsize=7)
        for x, y in failed - best.keys():
            ax.text(xs.index(x), ys.index(y), "failed", ha="center", va="center", fontsize=6,
                    color="0.4")
    save(fig, chart_path)
