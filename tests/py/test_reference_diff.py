"""str_to_date agrees with a plain-Python reader written from the same rules, on generated text."""

import datetime
import os
import sys
import warnings

import pytest

import tavex

try:
    import hypothesis
    from hypothesis import strategies as st
except ImportError:
    hypothesis = None
else:
    # Arbitrary text, and text glued from date-time pieces. Built once: strategies made per
    # call would pile up in hypothesis's caches.
    PIECES = st.sampled_from(["2024", "-", "01", "29", "31", "T", " ", ":", "59", "60", ".",
                              "123", "Z", "+", "\u2212", "08:00", "23:59", "24:00", "\udc80"])
    TEXTS = st.one_of(st.text(max_size=40), st.lists(PIECES, max_size=14).map("".join))

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "reference"))
import diff_fuzz  # noqa: E402
import rfc3339_reference as reference  # noqa: E402

UTC = datetime.timezone.utc


# Anchors for the reference itself, so that the two cannot agree on a wrong answer here.
@pytest.mark.parametrize("text, expected", [
    ("2024-01-02T03:04:05+08:00", datetime.datetime(2024, 1, 1, 19, 4, 5, tzinfo=UTC)),
    ("0000-12-31T23:30:00-01:00", datetime.datetime(1, 1, 1, 0, 30, tzinfo=UTC)),
    ("2024-01-02t03:04:05.9999999\u221205:30", datetime.datetime(2024, 1, 2, 8, 34, 5, 999999,
                                                                   tzinfo=UTC)),
    ("2024-01-02 03:04:05", reference.TOO_SHORT),
    ("2024-01-02T03:04:05,5Z", reference.INVALID),
    ("2023-02-29T00:00:00Z", reference.OUT_OF_RANGE),
    ("2024-01-02T03:04:05Z ", reference.TOO_LONG),
])
def test_reference_anchors(text, expected):
    if isinstance(expected, str):
        with pytest.raises(RuntimeError) as info:
            reference.parse(text)
        assert str(info.value) == expected
    else:
        assert reference.parse(text) == (expected, False)


@pytest.mark.parametrize("seed", [11, 12, 13])
def test_generated_texts_agree(seed):
    n, mismatches, counts = diff_fuzz.run(tavex.str_to_date, seed, 10_000)
    assert n == 10_000
    assert mismatches == []
    # The generator keeps reaching every outcome.
    assert len(counts) >= 7, counts


@pytest.mark.skipif(hypothesis is None, reason="needs hypothesis")
def test_arbitrary_text_agrees():
    @hypothesis.settings(max_examples=200, deadline=None, derandomize=True)
    @hypothesis.given(TEXTS)
    def check(s):
        with warnings.catch_warnings(record=True) as log:
            warnings.simplefilter("always")
            assert diff_fuzz.module_outcome(tavex.str_to_date, s, log) == \
                diff_fuzz.reference_outcome(s)

    check()
