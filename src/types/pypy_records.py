"""The getters of tavex's date-time and text record fields on PyPy.

tavex embeds this file when it is built for PyPy and runs it once, when it makes the record
classes (src/types/pypy.cpp); tests import it as it is. Every C call costs PyPy a crossing
and every object made in C a twin, so these getters are Python code its JIT compiles into the
loop that reads: each record holds its own address, which the getter gets through the class's
one hidden member descriptor, and the stored bytes are read from there through cffi. What a
getter cannot build exactly (a leap second, a year outside 1..9999, an empty text, an object
that is not exactly the class) it leaves to the native getter, which also raises the errors.

A date-time is built one of two ways, decided once per datetime class on the first read:
"direct" fills the slots of PyPy's pure-Python datetime through its own interop base, when a
sample of values built both ways gives equal objects (type, value, repr, hash, pickle state,
fold, tzinfo, timestamp); "plain" calls the datetime constructor, whose checks cost more than
the read itself. Checked with PyPy 7.3.11 (Python 3.9.16) on x86-64 and ppc64le: "direct".

force(path) forces a path on every getter, from then on: "native" (every read through the
native getter), "plain" or "direct" (a datetime class that fails the check then raises
RuntimeError saying why, on its first read); force("") returns to the default, "direct" where
the check passes and "plain" where it does not. It is for maintainers' tests, reached through
any getter's globals (tavex.Pair.code.fget.__globals__["force"]); tavex reads no setting of its
own. paths() tells which path each getter took and why(), why one fell back.

When a PyPy release fails the check, the reads stay correct but slower. Run the record tests
forced to "direct" (pytest tests/py/test_records.py --pypy-records=direct) to see the reason,
then compare DateTime.__slots__ and __pypy__._pypydatetime with those of that release, and mend
direct() below or leave that release on "plain".
"""

# How records store a date-time (tavex::abi::StoredDateTime), read as three 32-bit words:
# word 0 is (year - EPOCH_YEAR) << YEAR_SHIFT | second, word 1 the bytes month - 1, day - 1,
# hour and minute, word 2 micros << MICROS_SHIFT | the nanoseconds below them. The C++ build
# checks these numbers against its own.
EPOCH_YEAR = 1970
YEAR_SHIFT = 8
SECOND_MASK = 0xFF
MICROS_SHIFT = 10
YEAR_SIGN = 1 << (31 - YEAR_SHIFT)  # the sign bit of the year once shifted down
# A text (tavex::abi::Text): a pointer to its UTF-8, then its size at this offset.
TEXT_SIZE_AT = 8

MODES = ("native", "plain", "direct")
MODE = ""  # the path forced on every getter, "" for none

try:
    from _cffi_backend import FFI
except ImportError as exc:  # PyPy has always had it; a build without it reads natively
    cast = None
    NO_CFFI = f"no _cffi_backend ({exc})"
else:
    ffi = FFI()
    cast, unpack = ffi.cast, ffi.unpack
    WORDS, CHARS, SIZES = ffi.typeof("uint32_t *"), ffi.typeof("char **"), ffi.typeof("intptr_t *")
    NO_CFFI = None

# The getters by "Class.field": each a function () -> (path, why it is not the preferred one).
GETTERS = {}
# How each property was made: (factory, its arguments), to make it again under force().
MADE_BY = {}


def force(path):
    """Forces every getter down one path ("native", "plain", "direct"), or none ("")."""
    global MODE
    if path and path not in MODES:
        raise ValueError(f"the path must be one of {', '.join(MODES)} or '', not {path!r}")
    MODE = path
    made.clear()
    for factory, args in list(MADE_BY.values()):
        cls, name, doc = args[:3]
        type.__setattr__(cls, name, property(factory(*args), None, None, doc))


def paths():
    """How each getter reads: "direct", "plain", "cffi" (a text), "native", or "undecided" (a
    date-time getter that has not read yet)."""
    return {name: state()[0] for name, state in GETTERS.items()}


def why():
    """Why each getter that fell back did so (None for those on their preferred path)."""
    return {name: state()[1] for name, state in GETTERS.items()}


made = {}  # the datetime class -> (builder, why it is not "direct"), decided on first use


def check_direct(DateTime, UTC, direct, plain):
    """None when direct() builds exactly what plain() builds, else the first difference."""
    slots = {"_year", "_month", "_day", "_hour", "_minute", "_second", "_microsecond",
             "_tzinfo", "_hashcode", "_fold"}
    if set(getattr(DateTime, "__slots__", ())) != slots:
        return f"datetime's slots are {sorted(getattr(DateTime, '__slots__', ()))}"
    for v in ((1, 1, 1, 0, 0, 0, 0), (2024, 2, 29, 23, 59, 59, 999999),
              (9999, 12, 31, 12, 30, 7, 1)):
        try:
            a, b = direct(*v), plain(*v)
            for what, same in (("type", lambda a, b: type(a) is type(b)),
                               ("value", lambda a, b: a == b),
                               ("repr", lambda a, b: repr(a) == repr(b)),
                               ("hash", lambda a, b: hash(a) == hash(b)),
                               ("pickle state", lambda a, b: a.__reduce__() == b.__reduce__()),
                               ("fold", lambda a, b: a.fold == b.fold),
                               ("tzinfo", lambda a, b: a.tzinfo is b.tzinfo),
                               ("timestamp", lambda a, b: a.timestamp() == b.timestamp())):
                if not same(a, b):
                    return f"{what} differs for {v}: {a!r} built directly, {b!r} by the constructor"
        except (AttributeError, TypeError, ValueError, OverflowError) as exc:
            return f"building {v} directly failed: {type(exc).__name__}: {exc}"
    return None


def builder(DateTime, UTC):
    """How date-times of this class are built, and why that is not "direct" (or None)."""
    if DateTime in made:
        return made[DateTime]

    def plain(y, mo, d, h, mi, s, us):
        return DateTime(y, mo, d, h, mi, s, us, UTC)

    try:
        from __pypy__._pypydatetime import dateinterop
    except ImportError as exc:
        reason = f"no __pypy__._pypydatetime.dateinterop ({exc})"
    else:
        new = dateinterop.__new__

        def direct(y, mo, d, h, mi, s, us):
            o = new(DateTime)
            o._year = y; o._month = mo; o._day = d; o._hour = h; o._minute = mi
            o._second = s; o._microsecond = us; o._tzinfo = UTC; o._hashcode = -1; o._fold = 0
            return o

        reason = "forced to plain" if MODE == "plain" else check_direct(
            DateTime, UTC, direct, plain)
        if reason is None:
            made[DateTime] = direct, None
            return made[DateTime]
    if MODE == "direct":
        raise RuntimeError(f"forced to direct, but the direct build is not exact: {reason}")
    made[DateTime] = plain, reason
    return made[DateTime]


def named(get, name, doc):
    get.__name__ = get.__qualname__ = name
    get.__doc__ = doc
    return get


def through_native(cls, name, doc, native, reason):
    """A getter that leaves every read to the native one."""
    GETTERS[f"{cls.__name__}.{name}"] = lambda: ("native", reason)

    def get(self):
        return native(self)
    return named(get, name, doc)


def native_reason():
    return "forced to native" if MODE == "native" else NO_CFFI


# Each factory takes the class, the field's name and documentation, the bound __get__ of the
# class's address member, the field's offset in the record and the native getter. `type(self)
# is cls` keeps every other object on the native getter, which refuses it with the usual error;
# so does a zero address (an instance PyPy made without the class's allocator). The date-time
# getter learns the datetime class and UTC from its first native result: the datetime module
# is imported on first use.
def date_time(cls, name, doc, address, at, native):
    MADE_BY[f"{cls.__name__}.{name}"] = date_time, (cls, name, doc, address, at, native)
    if MODE == "native" or cast is None:
        return through_native(cls, name, doc, native, native_reason())
    at = int(str(at))  # PyPy makes a long of an int from C; a parsed one is a machine int
    make = reason = None  # the builder (direct or plain), once the first read has chosen it
    GETTERS[f"{cls.__name__}.{name}"] = lambda: (make.__name__ if make else "undecided", reason)

    def get(self):
        nonlocal make, reason
        if type(self) is cls and make is not None:
            a = address(self)
            if a:
                w = cast(WORDS, a + at)
                ys, t, us = w[0], w[1], w[2] >> MICROS_SHIFT
                year = ((ys >> YEAR_SHIFT) ^ YEAR_SIGN) - YEAR_SIGN + EPOCH_YEAR
                if 0 < year < 10000 and us < 1000000:
                    return make(year, (t & 255) + 1, (t >> 8 & 255) + 1, t >> 16 & 255, t >> 24,
                                ys & SECOND_MASK, us)
        out = native(self)
        if make is None:
            make, reason = builder(type(out), out.tzinfo)
        return out
    return named(get, name, doc)


def text(cls, name, doc, address, at, native):
    MADE_BY[f"{cls.__name__}.{name}"] = text, (cls, name, doc, address, at, native)
    if MODE == "native" or cast is None:
        return through_native(cls, name, doc, native, native_reason())
    at = int(str(at))
    GETTERS[f"{cls.__name__}.{name}"] = lambda: ("cffi", None)

    def get(self):
        if type(self) is cls:
            a = address(self)
            if a:
                data, size = cast(CHARS, a + at)[0], cast(SIZES, a + at + TEXT_SIZE_AT)[0]
                if data and size > 0:
                    return unpack(data, size).decode()
        return native(self)
    return named(get, name, doc)
