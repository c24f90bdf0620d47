"""The command's report: numbers written with the precision the instrument needs (its tick
for prices, its step for volumes), the statistics table first, then the orders, the periods
and the final position."""

from __future__ import annotations

import math
from datetime import timedelta
from typing import Any, Dict, Sequence

from tavex import OrderStatus, date_to_str, ms_to_date

from .api import Result
from .engine import Summary
from .settings import Numbers
from .stats import STATISTICS, Statistic

STATUSES = (OrderStatus.Submitted, OrderStatus.PartialFilled, OrderStatus.Filled,
            OrderStatus.Canceled, OrderStatus.Rejected)
SHOWN_ORDERS = 20  # more are cut to the first and last ones, unless --all-orders
EXTRA = Numbers.EXTRA


def name(member: object) -> str:
    """A member's name without its class: TradeSide.Long -> Long."""
    return str(member).rpartition(".")[2]


def value_text(stat: Statistic, value: Any, numbers: Numbers) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    if stat.unit == "%":
        return f"{value:+.2%}" if stat.name in ("return", "buy_hold", "annual_return",
                                                "best_trade", "worst_trade", "avg_trade") \
            else f"{value:.2%}"
    if stat.unit == "quote":
        return f"{numbers.amount(value, sign=stat.name == 'net')} {numbers.quote}"
    if stat.unit == "time":
        return duration_text(value)
    if isinstance(value, int):
        return f"{value:,}"
    return "inf" if math.isinf(value) else f"{value:.2f}"


def duration_text(value: timedelta) -> str:
    days, seconds = value.days, value.seconds
    return (f"{days:,} days " if days else "") + f"{seconds // 3600:02}:{seconds // 60 % 60:02}"


def print_statistics(stats: Dict[str, Any], numbers: Numbers, interval: str) -> None:
    rows = [("Start", date_to_str(stats["start"]) if stats["start"] else "-"),
            ("End", date_to_str(stats["end"]) if stats["end"] else "-"),
            ("Duration", duration_text(stats["duration"])),
            ("Interval", f"{interval}, {stats['candles']:,} candles")]
    rows += [(s.title, value_text(s, stats[s.name], numbers)) for s in STATISTICS]
    width = max(len(title) for title, _ in rows)
    for title, text in rows:
        print(f"{title:<{width}}  {text}")


def print_orders(result: Result, numbers: Numbers, show_all: bool) -> None:
    orders = result.ledger.orders
    counts = [(status, sum(o.status == status for _, o in orders)) for status in STATUSES]
    print(f"orders: {len(orders):,} events" +
          "".join(f", {n:,} {name(status)}" for status, n in counts if n))
    rejections = result.ledger.rejections
    if rejections:
        print("rejected: " + "; ".join(f"{n:,} {why}" for why, n in
                                       sorted(rejections.items(), key=lambda kv: -kv[1])))
    cells = [[date_to_str(ms_to_date(stamp)), o.id, name(o.side), name(o.type), name(o.status),
              numbers.volume(o.volume), numbers.price(o.price, EXTRA) if o.price else "market",
              numbers.volume(o.filled_volume), numbers.price(o.filled_price, EXTRA),
              numbers.amount(o.fee, extra=EXTRA)] for stamp, o in orders]
    heads = ["time (UTC)", "id", "side", "type", "status", "volume", "price", "filled", "at",
             "fee"]
    widths = [max([len(h)] + [len(c[k]) for c in cells]) for k, h in enumerate(heads)]
    right = set(range(5, 10))

    def line(row: Sequence[str]) -> str:
        return " ".join(f"{c:>{w}}" if k in right else f"{c:<{w}}"
                        for k, (c, w) in enumerate(zip(row, widths))).rstrip()

    print(line(heads))
    shown: Sequence[int] = range(len(cells))
    if not show_all and len(cells) > SHOWN_ORDERS:
        shown = [*range(SHOWN_ORDERS - 5), *range(len(cells) - 5, len(cells))]
    previous = -1
    for k in shown:
        if k != previous + 1:
            print(f"  ... {k - previous - 1:,} more (--all-orders shows them)")
        previous = k
        print(line(cells[k]))


def print_days(days: Sequence[Summary], numbers: Numbers, monthly: bool) -> None:
    cells = [[date_to_str(d.day), f"{d.candles:,}", numbers.price(d.open), numbers.price(d.close),
              f"{d.fills:,}", numbers.amount(d.fees, extra=EXTRA), numbers.amount(d.equity),
              numbers.amount(d.pnl, sign=True)] for d in days]
    heads = ["month (UTC)" if monthly else "day (UTC)", "candles", "open", "close", "fills",
             "fees", "equity", "P&L"]
    widths = [max([len(h)] + [len(c[k]) for c in cells]) for k, h in enumerate(heads)]
    for row in [heads, *cells]:
        print(" ".join(f"{c:<{w}}" if k == 0 else f"{c:>{w}}"
                       for k, (c, w) in enumerate(zip(row, widths))))


def print_result(result: Result, numbers: Numbers) -> None:
    broker = result.engine.broker
    position = broker.position()
    days = result.ledger.days
    last_close = days[-1].close if days else math.nan
    settings = result.settings
    signed = -position.volume if name(position.side) == "Short" else position.volume
    unrealized = signed * (last_close - position.price) if position.volume else 0.0
    equity = result.stats["equity_final"]
    if position.volume:
        print(f"final position: {name(position.side)} {numbers.volume(position.volume)} "
              f"{position.code} at {numbers.price(position.price, EXTRA)} {settings.quote}, "
              f"leverage {position.leverage}")
    else:
        print(f"final position: flat (no {settings.base} held)")
    print(f"cash {numbers.amount(broker.cash)} {settings.quote}; fees "
          f"{numbers.amount(broker.fees, extra=EXTRA)}; realized P&L "
          f"{numbers.amount(broker.realized_pnl, sign=True)} before fees; unrealized "
          f"{numbers.amount(unrealized, sign=True)}; net P&L "
          f"{numbers.amount(equity - settings.cash, sign=True)} "
          f"({(equity - settings.cash) / settings.cash:+.2%})")

