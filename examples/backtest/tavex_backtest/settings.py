"""The settings of a run: the money, the instrument and the size rule, read by the command,
the sweep and the charts alike (they import this module; it imports none of them).

The instrument's tick (price increment) and step (volume increment) come from the data: the
fewest decimals that write every price, every volume of the first candles exactly. A pair's
minimum price is its tick, its minimum volume its step, its minimum amount ``min_amount``.
"""

from __future__ import annotations

import decimal
import importlib
import math
from dataclasses import dataclass, replace
from typing import Any, Iterable, Optional

from tavex import TradeKind

DEFAULT_CASH = 100_000.0
DEFAULT_FEE = 0.001  # a share of each fill's amount
DEFAULT_FRACTION = 0.95  # of the equity, the size of an entry
DEFAULT_MIN_AMOUNT = 50.0  # in the quote currency
DEFAULT_PARTICIPATION = 0.25  # share of a candle's volume the broker may fill
MAX_DECIMALS = 12  # the finest tick or step found in data
SAMPLED_CANDLES = 2000  # candles read to find the tick and the step


def optional(module: str, extra: str) -> Any:
    """A module of one of the package's extras, or the error that says how to install it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ValueError(f"{module} is missing: pip install 'tavex-backtest[{extra}]'") from None


@dataclass(frozen=True)
class Settings:
    """What a run trades with. ``units`` set: every entry is that many units; else
    ``fraction`` of the equity. ``tick`` and ``step`` None: from the data."""

    cash: float = DEFAULT_CASH
    fee: float = DEFAULT_FEE
    fraction: float = DEFAULT_FRACTION
    units: Optional[float] = None
    slippage_bps: float = 0.0
    participation: float = DEFAULT_PARTICIPATION
    tick: Optional[float] = None
    step: Optional[float] = None
    min_amount: float = DEFAULT_MIN_AMOUNT
    future: bool = False  # a future pair: shorts allowed, margin at leverage 1
    code: str = "XYZUSDT"
    base: str = "XYZ"
    quote: str = "USDT"

    def __post_init__(self) -> None:
        checks = [
            (self.cash > 0, "--cash must be positive"),
            (0 <= self.fee < 1, "--fee must be a share from 0 to 1 (0.001 is 0.1%)"),
            (0 < self.fraction <= 1, "--fraction must be above 0 and at most 1"),
            (self.units is None or self.units > 0, "--units must be positive"),
            (0 <= self.slippage_bps < 10_000, "--slippage must be 0 to 10000 basis points"),
            (0 <= self.participation <= 1, "participation must be 0 (no limit) to 1"),
            (self.tick is None or self.tick > 0, "--tick must be positive"),
            (self.step is None or self.step > 0, "--step must be positive"),
            (self.min_amount >= 0, "--min-amount must not be negative"),
        ]
        for ok, message in checks:
            if not (ok and all(math.isfinite(x) for x in self._numbers())):
                raise ValueError(message if not ok else "the settings must be finite numbers")

    def _numbers(self) -> Iterable[float]:
        return [x for x in (self.cash, self.fee, self.fraction, self.units, self.slippage_bps,
                            self.participation, self.tick, self.step, self.min_amount)
                if x is not None]

    @property
    def kind(self) -> TradeKind:
        return TradeKind.Future if self.future else TradeKind.Spot

    @property
    def slippage(self) -> float:
        return self.slippage_bps / 10_000.0

    def size_rule(self) -> str:
        """The size of an entry in words: "95% of the equity", "2 units"."""
        if self.units is not None:
            return f"{self.units:g} units"
        return f"{self.fraction:.0%} of the equity"

    def with_increments(self, tick: float, step: float) -> Settings:
        """These settings with the tick and the step the data gave, where not set."""
        return replace(self, tick=self.tick or tick, step=self.step or step)


def decimals(values: Iterable[float]) -> int:
    """The fewest decimals (at most MAX_DECIMALS) that write every value exactly."""
    needed = 0
    for x in values:
        while needed < MAX_DECIMALS and float(f"{x:.{needed}f}") != x:
            needed += 1
    return needed


def increment(values: Iterable[float]) -> float:
    """The increment the values move by: 10 to the minus their decimals."""
    return 10.0 ** -decimals(values)


def decimals_of(increment: float) -> int:
    """The decimals a number on this increment is written with: 2 for 0.01, 0 for 5."""
    exponent = decimal.Decimal(repr(increment)).normalize().as_tuple().exponent
    return max(0, -int(exponent))


def round_down(volume: float, step: float) -> float:
    """`volume` rounded down to a whole number of steps (a value on a step stays as it is)."""
    steps = math.floor(volume / step + 1e-9)
    return round(steps * step, decimals_of(step)) if steps > 0 else 0.0


class Numbers:
    """How a run's prices, volumes and amounts are written: prices at the tick's digits,
    volumes at the step's and two more, amounts in cents or at the tick's digits when finer
    (a pair at 0.00003 reads as one). For the report, the sweep's table and the charts."""

    EXTRA = 2  # digits past the tick or step: averages and shares of a candle's volume

    def __init__(self, settings: Settings) -> None:
        assert settings.tick is not None and settings.step is not None
        self.price_digits = decimals_of(settings.tick)
        self.volume_digits = decimals_of(settings.step) + self.EXTRA
        # An amount is in the quote currency: cents, or the tick's digits when finer.
        self.amount_digits = max(2, self.price_digits)
        self.quote = settings.quote

    def price(self, x: float, extra: int = 0) -> str:
        return f"{x:,.{self.price_digits + extra}f}"

    def volume(self, x: float) -> str:
        return f"{x:,.{self.volume_digits}f}"

    def amount(self, x: float, sign: bool = False, extra: int = 0) -> str:
        return f"{x:{'+' if sign else ''},.{self.amount_digits + extra}f}"
