/* The time helpers: clock, millisecond time stamps, day truncation and RFC 3339 text. */
#include "floor.h"

/* The one parameter of a METH_FASTCALL|METH_KEYWORDS function, given by
   position or by name; NULL with an exception set otherwise. */
static PyObject *bind_one(PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames, const char *name)
{
    PyObject *found = nargs == 1 ? args[0] : NULL;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > 1)
        return PyErr_Format(PyExc_TypeError, "takes one argument, '%s'", name);
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_CompareWithASCIIString(key, name) != 0)
            return PyErr_Format(PyExc_TypeError, "no argument named '%U'", key);
        if (found != NULL)
            return PyErr_Format(PyExc_TypeError, "'%s' given twice", name);
        found = args[nargs + k];
    }
    if (found == NULL)
        return PyErr_Format(PyExc_TypeError, "'%s' is missing", name);
    return found;
}

/* the common call, one argument by position, tested first */
#define ARGUMENT(var, name)                                                   \
    PyObject *var = (nargs == 1 && kwnames == NULL)                           \
                        ? args[0]                                             \
                        : bind_one(args, nargs, kwnames, name);               \
    if (var == NULL)                                                          \
    return NULL

/* ---- the time helpers -------------------------------------------------- */

PyObject *ms_to_date(PyObject *self, PyObject *const *args,
                            Py_ssize_t nargs, PyObject *kwnames)
{
    ARGUMENT(arg, "ts");
    long long ms;
    if (!read_two_digits(arg, &ms)) {
        ms = PyLong_AsLong(arg); /* 64 bits on LP64 */
        if (ms == -1 && PyErr_Occurred())
            return NULL;
    }
    long long sec = ms / 1000, milli = ms % 1000;
    if (milli < 0)
        milli += 1000, sec -= 1;
    long long day = sec / 86400, in_day = sec % 86400;
    if (in_day < 0)
        in_day += 86400, day -= 1;
    if (day < FIRST_DAY || day > LAST_DAY) {
        PyErr_SetString(PyExc_ValueError, "out of datetime's range");
        return NULL;
    }
    int y, mo, d;
    date_of_day(day, &y, &mo, &d);
    const int s = (int)in_day;
    return utc_datetime(y, mo, d, s / 3600, s / 60 % 60, s % 60,
                        (int)milli * 1000);
}

PyObject *now_ms(PyObject *self, PyObject *unused)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return PyLong_FromLongLong((long long)now.tv_sec * 1000 +
                               now.tv_nsec / 1000000);
}

PyObject *now_date(PyObject *self, PyObject *unused)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    int y, mo, d;
    date_of_day(now.tv_sec / 86400, &y, &mo, &d);
    const int s = (int)(now.tv_sec % 86400);
    return utc_datetime(y, mo, d, s / 3600, s / 60 % 60, s % 60,
                        (int)(now.tv_nsec / 1000));
}

/* The same clock as METH_FASTCALL, which CPython 3.11 specialises at the
   call site and METH_NOARGS it does not: context for the now_* rows. */
PyObject *now_ms_fastcall(PyObject *self, PyObject *const *args,
                                 Py_ssize_t nargs)
{
    if (nargs != 0)
        return PyErr_Format(PyExc_TypeError, "takes no arguments");
    return now_ms(self, NULL);
}

PyObject *now_date_fastcall(PyObject *self, PyObject *const *args,
                                   Py_ssize_t nargs)
{
    if (nargs != 0)
        return PyErr_Format(PyExc_TypeError, "takes no arguments");
    return now_date(self, NULL);
}

PyObject *truncate_to_day(PyObject *self, PyObject *const *args,
                                 Py_ssize_t nargs, PyObject *kwnames)
{
    ARGUMENT(arg, "date");
    if (utc_argument(arg) < 0)
        return NULL;
    const int y = PyDateTime_GET_YEAR(arg), mo = PyDateTime_GET_MONTH(arg),
              d = PyDateTime_GET_DAY(arg);
    /* the result must fit in int64 nanoseconds: only years far from today
       need the time of day to tell */
    if (y < 1678 || y > 2261) {
        const int64_t sec = day_of_date(y, mo, d) * 86400 +
                            PyDateTime_DATE_GET_HOUR(arg) * 3600 +
                            PyDateTime_DATE_GET_MINUTE(arg) * 60 +
                            PyDateTime_DATE_GET_SECOND(arg);
        const int64_t limit = INT64_MAX / 1000000000;
        if (sec < -limit - 1 || sec >= limit) {
            PyErr_SetString(PyExc_OverflowError, "beyond int64 nanoseconds");
            return NULL;
        }
    }
    return utc_datetime(y, mo, d, 0, 0, 0, 0);
}

/* "00" to "99", filled at import: two digits with one copy */
static char digit_pairs[200];

static void two_digits(Py_UCS1 *out, unsigned v)
{
    memcpy(out, digit_pairs + 2 * v, 2);
}

PyObject *date_to_str(PyObject *self, PyObject *const *args,
                             Py_ssize_t nargs, PyObject *kwnames)
{
    ARGUMENT(arg, "d");
    if (utc_argument(arg) < 0)
        return NULL;
    /* the fields first, then the text */
    const unsigned y = (unsigned)PyDateTime_GET_YEAR(arg),
                   mo = (unsigned)PyDateTime_GET_MONTH(arg),
                   d = (unsigned)PyDateTime_GET_DAY(arg),
                   h = (unsigned)PyDateTime_DATE_GET_HOUR(arg),
                   mi = (unsigned)PyDateTime_DATE_GET_MINUTE(arg),
                   sec = (unsigned)PyDateTime_DATE_GET_SECOND(arg),
                   us = (unsigned)PyDateTime_DATE_GET_MICROSECOND(arg);
    const int digits = us == 0 ? 0 : us % 1000 == 0 ? 3 : 6;
    /* YYYY-MM-DDTHH:MM:SS[.fff|.ffffff]+00:00 */
    PyObject *text = PyUnicode_New(25 + (digits ? digits + 1 : 0), 127);
    if (text == NULL)
        return NULL;
    Py_UCS1 *p = PyUnicode_1BYTE_DATA(text);
    memcpy(p, "0000-00-00T00:00:00", 19); /* the separators */
    two_digits(p, y / 100), two_digits(p + 2, y % 100);
    two_digits(p + 5, mo), two_digits(p + 8, d);
    two_digits(p + 11, h), two_digits(p + 14, mi), two_digits(p + 17, sec);
    p += 19;
    if (digits == 3) {
        const unsigned ms = us / 1000;
        p[0] = '.';
        p[1] = (Py_UCS1)('0' + ms / 100);
        two_digits(p + 2, ms % 100);
        p += 4;
    }
    else if (digits == 6) {
        p[0] = '.';
        two_digits(p + 1, us / 10000);
        two_digits(p + 3, us / 100 % 100);
        two_digits(p + 5, us % 100);
        p += 7;
    }
    memcpy(p, "+00:00", 6);
    return text;
}

/* digit value, or more than 9 for any other byte */
static unsigned digit_at(const char *s, Py_ssize_t i)
{
    return (unsigned)(unsigned char)s[i] - '0';
}

/* the number written by two digits at s[i], or 256 and more if either is
   not a digit: checks of several pairs then take one test */
static unsigned pair_at(const char *s, Py_ssize_t i)
{
    const unsigned a = digit_at(s, i), b = digit_at(s, i + 1);
    return (a * 10 + b) | ((unsigned)((a > 9) | (b > 9)) << 8);
}

static PyObject *bad_text(const char *why)
{
    PyErr_SetString(PyExc_ValueError, why);
    return NULL;
}

static const unsigned tens[7] = {1, 10, 100, 1000, 10000, 100000, 1000000};

/* RFC 3339: YYYY-MM-DD(T|t| )HH:MM:SS[.fraction](Z|z|+HH:MM|-HH:MM|U+2212 HH:MM) */
PyObject *str_to_date(PyObject *self, PyObject *const *args,
                      Py_ssize_t nargs, PyObject *kwnames)
{
    ARGUMENT(arg, "s");
    if (!PyUnicode_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "expected a str");
        return NULL;
    }
    Py_ssize_t n;
    const char *s = PyUnicode_AsUTF8AndSize(arg, &n);
    if (s == NULL)
        return NULL;
    if (n < 20)
        return bad_text("too short");
    const unsigned century = pair_at(s, 0), in_century = pair_at(s, 2),
                   mo = pair_at(s, 5), d = pair_at(s, 8), h = pair_at(s, 11),
                   mi = pair_at(s, 14), sec = pair_at(s, 17);
    const char t = s[10];
    if (((century | in_century | mo | d | h | mi | sec) >= 256) |
        (s[4] != '-') | (s[7] != '-') | (s[13] != ':') | (s[16] != ':') |
        ((t != 'T') & (t != 't') & (t != ' ')))
        return bad_text("not a date-time");

    Py_ssize_t i = 19;
    unsigned us = 0;
    if (s[i] == '.') {
        const Py_ssize_t first = ++i;
        for (; i < n && i - first < 6 && digit_at(s, i) <= 9; i++)
            us = us * 10 + digit_at(s, i);
        if (i == first)
            return bad_text("empty fraction");
        us *= tens[6 - (i - first)];
        while (i < n && digit_at(s, i) <= 9) /* beyond microseconds */
            i++;
    }
    if (i >= n)
        return bad_text("no offset");
    int offset = 0; /* seconds east of UTC */
    if (s[i] == 'Z' || s[i] == 'z') {
        i++;
    }
    else {
        int sign;
        if (s[i] == '+' || s[i] == '-') {
            sign = s[i] == '+' ? 1 : -1;
            i++;
        }
        else if (n - i >= 3 && memcmp(s + i, "\xe2\x88\x92", 3) == 0) {
            sign = -1;
            i += 3;
        }
        else
            return bad_text("no offset");
        if (n - i < 5)
            return bad_text("offset too short");
        const unsigned h0 = digit_at(s, i), h1 = digit_at(s, i + 1),
                       m0 = digit_at(s, i + 3), m1 = digit_at(s, i + 4);
        if (h0 > 9 || h1 > 9 || m0 > 5 || m1 > 9 || s[i + 2] != ':')
            return bad_text("bad offset");
        offset = sign * (int)((h0 * 10 + h1) * 3600 + (m0 * 10 + m1) * 60);
        if (offset >= 86400 || offset <= -86400)
            return bad_text("offset out of range");
        i += 5;
    }
    if (i != n)
        return bad_text("text after the offset");

    int year = (int)(century * 100 + in_century), month = (int)mo, day = (int)d;
    const int hour = (int)h, minute = (int)mi;
    int second = (int)sec;
    if (month < 1 || month > 12 || day < 1 ||
        day > month_length(year, month) || hour > 23 || minute > 59 ||
        second > 60)
        return bad_text("field out of range");
    if (second == 60)
        second = 59;
    /* to UTC: the offset moves the date by a day at most */
    int in_day = hour * 3600 + minute * 60 + second - offset;
    if (in_day < 0) {
        in_day += 86400;
        if (--day < 1) {
            if (--month < 1)
                month = 12, year--;
            day = month_length(year, month);
        }
    }
    else if (in_day >= 86400) {
        in_day -= 86400;
        if (++day > month_length(year, month)) {
            day = 1;
            if (++month > 12)
                month = 1, year++;
        }
    }
    return utc_datetime(year, month, day, in_day / 3600, in_day / 60 % 60,
                        in_day % 60, (int)us);
}


int times_init(void)
{
    for (int k = 0; k < 100; k++) {
        digit_pairs[2 * k] = (char)('0' + k / 10);
        digit_pairs[2 * k + 1] = (char)('0' + k % 10);
    }
    PyDateTime_IMPORT; /* this file's copy of the interface */
    return PyDateTimeAPI == NULL ? -1 : 0;
}
