"""The statistics of a run, from its equity at every close and its fills, computed here once
for the native and the pure-Python runs alike (docs/backtest.md gives each formula).

A trade is a round trip: from a fill that opens a position (from flat, or past flat on a
future pair) to the fill that brings it back to flat; one still open at the end is valued
at the last close. Its P&L is what its fills paid and received, fees included; its return
is that P&L over the amount of its opening fills.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from datetime import datetime, timedelta
from typing import Any, Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple

from tavex import OrderStatus, TradeSide, ms_to_date

from .records import OrderLike

# Running.values(): closes, last equity, sums of r, r*r and of r*r for r < 0, peak, largest
# fall, longest time under a peak (ms).
Moments = Tuple[int, float, float, float, float, float, float, int]
YEAR_SECONDS = 365.25 * 86_400  # candles per year: this over the interval
DUST = 1e-9  # a position below this is flat (sums of fills round)


@dataclass(frozen=True)
class Statistic:
    name: str
    title: str
    unit: str  # "%": a share shown as a percentage; "quote", "time", "" (a number)
    higher_is_better: bool


STATISTICS: Tuple[Statistic, ...] = (
    Statistic("return", "Return", "%", True),
    Statistic("buy_hold", "Buy & hold return", "%", True),
    Statistic("annual_return", "Return (annualised)", "%", True),
    Statistic("net", "Net P&L (after fees)", "quote", True),
    Statistic("fees", "Fees", "quote", False),
    Statistic("equity_final", "Equity, final", "quote", True),
    Statistic("equity_peak", "Equity, peak", "quote", True),
    Statistic("max_drawdown", "Max drawdown", "%", False),
    Statistic("max_drawdown_duration", "Max drawdown duration", "time", False),
    Statistic("exposure", "Exposure time", "%", True),
    Statistic("trades", "Trades", "", True),
    Statistic("win_rate", "Win rate", "%", True),
    Statistic("best_trade", "Best trade", "%", True),
    Statistic("worst_trade", "Worst trade", "%", True),
    Statistic("avg_trade", "Avg trade", "%", True),
    Statistic("profit_factor", "Profit factor", "", True),
    Statistic("sharpe", "Sharpe ratio", "", True),
    Statistic("sortino", "Sortino ratio", "", True),
    Statistic("fills", "Fills", "", True),
    Statistic("orders", "Orders placed", "", True),
)
BY_NAME: Dict[str, Statistic] = {s.name: s for s in STATISTICS}


class Trade(NamedTuple):
    """A round trip (a named tuple: a frozen dataclass costs ten times as much to make, and a
    run makes one per round trip)."""

    side: str  # "Long" or "Short"
    entry_time: datetime
    exit_time: Optional[datetime]  # None: still open at the end
    volume: float  # the largest position it held
    entry_price: float  # average of its opening fills
    exit_price: float  # average of its closing fills (the last close for an open one)
    pnl: float  # fees included
    fees: float
    ret: float  # pnl / the amount of its opening fills

    def as_dict(self) -> Dict[str, Any]:
        d = self._asdict()
        d["entry_time"] = self.entry_time.isoformat()
        d["exit_time"] = self.exit_time.isoformat() if self.exit_time else None
        return d


class _Open:
    """A trade being built from its fills."""

    def __init__(self, sign: float, when: datetime) -> None:
        self.sign, self.when = sign, when
        self.position = self.peak = 0.0
        self.opened = self.opened_amount = self.closed = self.closed_amount = 0.0
        self.flow = self.fees = 0.0  # cash received less paid, fees apart

    def add(self, volume: float, price: float, fee: float, opening: bool) -> None:
        if opening:
            self.opened += volume
            self.opened_amount += volume * price
            self.position += volume
            self.peak = max(self.peak, self.position)
        else:
            self.closed += volume
            self.closed_amount += volume * price
            self.position -= volume
        self.flow += (volume * price) * (self.sign if not opening else -self.sign)
        self.fees += fee

    def done(self, exit_time: Optional[datetime], last_close: float) -> Trade:
        exit_price = self.closed_amount / self.closed if exit_time else last_close
        flow = self.flow + (0.0 if exit_time else self.sign * self.position * last_close)
        pnl = flow - self.fees
        return Trade("Long" if self.sign > 0 else "Short", self.when, exit_time, self.peak,
                     self.opened_amount / self.opened, exit_price, pnl, self.fees,
                     pnl / self.opened_amount)


def trades_of(orders: Iterable[Tuple[int, OrderLike]], last_close: float) -> List[Trade]:
    """The round trips of a run's order events (time ms, order), in the order they opened."""
    done: List[Trade] = []
    before: Dict[str, Tuple[float, float, float]] = {}  # order: filled, amount, fee so far
    position = 0.0
    current: Optional[_Open] = None
    for stamp, o in orders:
        if o.status not in (OrderStatus.PartialFilled, OrderStatus.Filled):
            continue
        filled, amount, fee = before.get(o.id, (0.0, 0.0, 0.0))
        volume = o.filled_volume - filled
        price = (o.filled_price * o.filled_volume - amount) / volume
        fill_fee = o.fee - fee
        before[o.id] = (o.filled_volume, o.filled_price * o.filled_volume, o.fee)
        when = ms_to_date(stamp)
        sign = 1.0 if o.side == TradeSide.Long else -1.0
        while volume > DUST:
            if current is None:
                current = _Open(sign, when)
            if sign == current.sign:  # opens or adds
                current.add(volume, price, fill_fee, True)
                position += sign * volume
                break
            part = min(volume, current.position)  # closes, maybe past flat
            share = part / volume
            current.add(part, price, fill_fee * share, False)
            position += sign * part
            volume -= part
            fill_fee -= fill_fee * share
            if current.position <= DUST:
                done.append(current.done(when, last_close))
                current, position = None, 0.0
    if current is not None:
        done.append(current.done(None, last_close))
    return done


def _ratio(a: float, b: float) -> float:
    return a / b if b else math.nan


def _annualised(total: float, years_inverse: float) -> float:
    """(1 + total) to the power of runs per year, less 1; inf past a float's range."""
    if total <= -1.0:
        return -1.0
    try:
        return float((1.0 + total) ** years_inverse) - 1.0
    except OverflowError:
        return math.inf


class Running:
    """The equity's figures as the closes come: sums of the returns r_i = e_i / e_(i-1) - 1, of
    their squares and of the squares of the negative ones, the peak, the largest fall from a
    peak and the longest time under one. Both brokers keep them, the native one operation for
    operation as here, so that no statistic needs a pass over a million closes afterwards."""

    __slots__ = ("n", "previous", "sum", "squares", "losses", "peak", "peak_ms", "under",
                 "worst", "longest")

    def __init__(self, cash: float) -> None:
        self.n = 0
        self.previous = self.peak = cash
        self.sum = self.squares = self.losses = self.worst = 0.0
        self.peak_ms = 0  # the close at the peak; the first candle's open for the cash
        self.under = False
        self.longest = 0

    def add(self, equity: float, close_ms: int) -> None:
        r = equity / self.previous - 1.0
        self.n += 1
        self.previous = equity
        self.sum += r
        self.squares += r * r
        if r < 0.0:
            self.losses += r * r
        if equity >= self.peak:
            if self.under:  # back at the peak: the fall lasted from the peak to here
                self.longest = max(self.longest, close_ms - self.peak_ms)
                self.under = False
            self.peak, self.peak_ms = equity, close_ms
        else:
            self.under = True
            self.worst = max(self.worst, 1.0 - equity / self.peak)

    def values(self, last_ms: int) -> Moments:
        """(closes, last equity, sum, squares, losses, peak, worst, longest ms), a fall still
        on at `last_ms` lasting to it."""
        longest = max(self.longest, last_ms - self.peak_ms) if self.under else self.longest
        return (self.n, self.previous, self.sum, self.squares, self.losses, self.peak,
                self.worst, longest)


def statistics(moments: Moments, start_ms: int, end_ms: int, cash: float, first_close: float,
               last_close: float, interval_seconds: int, trades: Sequence[Trade], exposed: int, fees: float,
               fills: int, orders: int) -> Dict[str, Any]:
    """Every statistic of STATISTICS, plus start, end, duration and candles, from a run's
    Running figures `moments` (n closes, the last equity `final`, ...) and its trades."""
    per_year = YEAR_SECONDS / interval_seconds
    n, final, total_r, squares, falls, peak, worst, longest = moments
    mean = total_r / n if n else math.nan
    spread = math.sqrt(max(0.0, squares - total_r * mean) / (n - 1)) if n > 1 else math.nan
    downside = math.sqrt(falls / n) if n else math.nan
    total = final / cash - 1.0
    wins = [t.pnl for t in trades if t.pnl > 0]
    losses = [t.pnl for t in trades if t.pnl < 0]
    rets = [t.ret for t in trades]
    return {
        "start": ms_to_date(start_ms) if n else None,
        "end": ms_to_date(end_ms) if n else None,
        "duration": timedelta(milliseconds=end_ms - start_ms) if n else timedelta(0),
        "candles": n,
        "return": total,
        "buy_hold": last_close / first_close - 1.0 if n else math.nan,
        "annual_return": _annualised(total, per_year / n) if n else math.nan,
        "net": final - cash,
        "fees": fees,
        "equity_final": final,
        "equity_peak": peak,
        "max_drawdown": worst,
        "max_drawdown_duration": timedelta(milliseconds=longest),
        "exposure": _ratio(exposed, n),
        "trades": len(trades),
        "win_rate": _ratio(len(wins), len(trades)),
        "best_trade": max(rets) if rets else math.nan,
        "worst_trade": min(rets) if rets else math.nan,
        "avg_trade": sum(rets) / len(rets) if rets else math.nan,
        "profit_factor": (sum(wins) / -sum(losses) if losses else
                          math.inf if wins else math.nan),
        "sharpe": _ratio(mean, spread) * math.sqrt(per_year),
        "sortino": _ratio(mean, downside) * math.sqrt(per_year),
        "fills": fills,
        "orders": orders,
    }


def sort_key(name: str) -> Any:
    """A key that puts the best value of statistic `name` first and NaN last."""
    higher = BY_NAME[name].higher_is_better

    def key(value: Any) -> Tuple[int, float]:
        x = value.total_seconds() if isinstance(value, timedelta) else float(value)
        return (1, 0.0) if math.isnan(x) else (0, -x if higher else x)

    return key


def plain(stats: Dict[str, Any]) -> Dict[str, Any]:
    """The statistics as JSON values: times as ISO text, durations in seconds, NaN as None."""
    out: Dict[str, Any] = {}
    for k, v in stats.items():
        if isinstance(v, datetime):
            v = v.isoformat()
        elif isinstance(v, timedelta):
            v = v.total_seconds()
        elif isinstance(v, float) and not math.isfinite(v):
            v = None if math.isnan(v) else ("inf" if v > 0 else "-inf")
        out[k] = v
    return out
