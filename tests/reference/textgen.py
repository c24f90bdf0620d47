"""Texts for differential testing of str_to_date: valid date-times, mutations of them, and junk.

Deterministic for a given seed. About a third of the texts are valid, a third are one to
three edits away from a valid one (where most of the interesting failures live), and the rest
are random junk or near-misses built from date-time pieces.
"""

import random

# Characters that a mutation inserts: the grammar's own bytes, near relatives, multi-byte
# characters (the minus sign U+2212, its lead-byte cousins), a lone surrogate and controls.
ALPHABET = (
    list("0123456789") * 3
    + list("-:.T tZz+,Ww/_")
    + ["\u2212", "\u2010", "\u2013", "\u20ac", "\u00e9", "\uff10", "\u0660", "\x00", "\n",
       "\t", "\x7f", "\ud800", "\udc80", "\U0001f600", "\u00a0", "\ufeff", "Ｔ"]
)

SEPARATORS = "Tt "
SIGNS = ("+", "-", "\u2212")


def _two(n):
    return f"{n:02d}"


def valid_text(rng):
    """A text the scanner accepts (fields in range, day valid for its month)."""
    edge = rng.random() < 0.25
    year = rng.choice((0, 1, 4, 100, 400, 1900, 1970, 2000, 2016, 2024, 9999)) if edge \
        else rng.randrange(0, 10000)
    month = rng.randrange(1, 13)
    leap = year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)
    length = 29 if month == 2 and leap else 28 if month == 2 else \
        30 if month in (4, 6, 9, 11) else 31
    day = rng.choice((1, length)) if edge else rng.randrange(1, length + 1)
    hour = rng.choice((0, 23)) if edge else rng.randrange(24)
    minute = rng.choice((0, 59)) if edge else rng.randrange(60)
    second = rng.choice((0, 59, 60)) if edge else rng.randrange(61)
    text = f"{year:04d}-{_two(month)}-{_two(day)}{rng.choice(SEPARATORS)}" \
           f"{_two(hour)}:{_two(minute)}:{_two(second)}"
    if rng.random() < 0.6:
        k = rng.choice((1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 10, 12, 20))
        text += "." + "".join(rng.choice("0123456789") for _ in range(k))
    return text + offset_text(rng)


def offset_text(rng):
    roll = rng.random()
    if roll < 0.25:
        return rng.choice("Zz")
    sign = rng.choice(SIGNS)
    if roll < 0.35:
        hours, minutes = rng.choice(((0, 0), (23, 59), (0, 1), (1, 0), (14, 0), (5, 30)))
    else:
        hours, minutes = rng.randrange(24), rng.randrange(60)
    return f"{sign}{_two(hours)}:{_two(minutes)}"


def _random_char(rng):
    return rng.choice(ALPHABET)


def mutate(text, rng):
    """One random edit of `text`."""
    n = len(text)
    op = rng.randrange(10)
    i = rng.randrange(n + 1)
    if op == 0 and n:                                  # delete a character
        i = min(i, n - 1)
        return text[:i] + text[i + 1:]
    if op == 1:                                        # insert
        return text[:i] + _random_char(rng) + text[i:]
    if op == 2 and n:                                  # replace
        i = min(i, n - 1)
        return text[:i] + _random_char(rng) + text[i + 1:]
    if op == 3:                                        # truncate
        return text[:i]
    if op == 4:                                        # append a tail
        return text + "".join(_random_char(rng) for _ in range(rng.randrange(1, 4)))
    if op == 5 and n:                                  # digit out of its range
        digits = [k for k, c in enumerate(text) if c.isdigit()]
        if digits:
            k = rng.choice(digits)
            return text[:k] + rng.choice("6789") + text[k + 1:]
    if op == 6 and n >= 2:                             # swap neighbours
        i = min(i, n - 2)
        return text[:i] + text[i + 1] + text[i] + text[i + 2:]
    if op == 7 and n:                                  # duplicate a slice
        j = rng.randrange(i, n + 1)
        return text[:j] + text[i:j] + text[j:]
    if op == 8:                                        # replace the offset part
        cut = max(text.rfind("+"), text.rfind("-", 10), text.rfind("\u2212"),
                  text.rfind("Z"), text.rfind("z"))
        if cut > 0:
            return text[:cut] + rng.choice(("", "+", "+0", "+08", "+0800", "+08:0", "+08:00:00",
                                            "+24:00", "-23:60", "UTC", " +08:00", "Z ", "zz"))
    # fallback and op 9: change the day to the end of a month, maybe an invalid one
    if len(text) >= 10 and text[4:5] == "-" and text[7:8] == "-":
        return text[:5] + rng.choice(("02-28", "02-29", "02-30", "04-31", "12-31", "00-10",
                                      "13-01", "01-00", "01-32")) + text[10:]
    return text + _random_char(rng)


def junk(rng):
    roll = rng.random()
    if roll < 0.4:  # random characters
        return "".join(_random_char(rng) for _ in range(rng.randrange(0, 40)))
    if roll < 0.7:  # random pieces of the grammar glued together
        pieces = ("2024", "-", "01", "12", "31", "T", " ", ":", "59", "60", "23", "24", ".",
                  "123456789", "Z", "+", "-", "\u2212", "08:00", "00", "9999", "0000")
        return "".join(rng.choice(pieces) for _ in range(rng.randrange(0, 16)))
    if roll < 0.85:  # a valid prefix
        t = valid_text(rng)
        return t[:rng.randrange(len(t) + 1)]
    return "".join(chr(rng.randrange(0x20, 0x7f)) for _ in range(rng.randrange(0, 40)))


class StrSub(str):
    """A str subclass: the module accepts those as text too."""


def texts(seed, count):
    """Yields `count` texts for seed `seed`."""
    rng = random.Random(seed)
    for _ in range(count):
        roll = rng.random()
        if roll < 0.3:
            t = valid_text(rng)
        elif roll < 0.75:
            t = valid_text(rng)
            for _ in range(rng.choice((1, 1, 1, 2, 3))):
                t = mutate(t, rng)
        else:
            t = junk(rng)
        if rng.random() < 0.01:
            t = StrSub(t)
        yield t
