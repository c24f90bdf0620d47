/* benchfloor: the least each of tavex's hot operations can cost on the C API.
 *
 * Each function does the work the common case cannot skip, the way tavex is
 * called: METH_FASTCALL|METH_KEYWORDS with one parameter (METH_NOARGS for the
 * clock), date-times made by the datetime C-API constructor with
 * timezone.utc and read by the PyDateTime_GET_* macros, text made ASCII by
 * PyUnicode_New.  Error paths exist only so that a wrong argument cannot
 * crash the bench: their exception types and texts are not tavex's, leap
 * seconds are not warned about and the clock is taken to be after 1970.
 *
 * The bench (bench/builds.py) builds it for the interpreter that runs it.
 * This header holds what the files share, inline, so that each operation
 * costs what it would in one file.
 */
#ifndef BENCHFLOOR_H
#define BENCHFLOOR_H
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>
#include <structmember.h>

#include <stdint.h>
#include <string.h>
#include <time.h>

#ifndef PyDateTime_DATE_GET_TZINFO /* before 3.10 */
#define PyDateTime_DATE_GET_TZINFO(o)                                         \
    (((PyDateTime_DateTime *)(o))->hastzinfo                                  \
         ? ((PyDateTime_DateTime *)(o))->tzinfo                               \
         : Py_None)
#endif

static inline PyObject *new_ref(PyObject *o)
{
    Py_INCREF(o);
    return o;
}

/* ---- the calendar ------------------------------------------------------ */

enum { FIRST_DAY = -719162, LAST_DAY = 2932896 }; /* 0001-01-01, 9999-12-31 */

static inline int leap_year(int y)
{
    return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

static inline int month_length(int y, int m)
{
    static const unsigned char length[12] = {31, 28, 31, 30, 31, 30,
                                             31, 31, 30, 31, 30, 31};
    return m == 2 ? 28 + leap_year(y) : length[m - 1];
}

/* Days since 1970-01-01 to a date, counting in 400-year cycles that start
   on March 1st so that the leap day ends a year. */
static inline void date_of_day(int64_t day, int *year, int *month, int *mday)
{
    const int64_t shifted = day + 719468; /* days since 0000-03-01 */
    const int64_t cycle = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    const uint32_t in_cycle = (uint32_t)(shifted - cycle * 146097);
    const uint32_t year_in_cycle =
        (in_cycle - in_cycle / 1460 + in_cycle / 36524 - in_cycle / 146096) /
        365;
    const uint32_t in_year =
        in_cycle - (365 * year_in_cycle + year_in_cycle / 4 -
                    year_in_cycle / 100);
    const uint32_t march_month = (5 * in_year + 2) / 153; /* 0 = March */
    *mday = (int)(in_year - (153 * march_month + 2) / 5 + 1);
    *month = (int)(march_month < 10 ? march_month + 3 : march_month - 9);
    *year = (int)(year_in_cycle + cycle * 400 + (*month <= 2));
}

static inline int64_t day_of_date(int year, int month, int mday)
{
    const int64_t y = year - (month <= 2);
    const int64_t cycle = (y >= 0 ? y : y - 399) / 400;
    const uint32_t year_in_cycle = (uint32_t)(y - cycle * 400);
    const uint32_t in_year =
        (153 * (uint32_t)(month > 2 ? month - 3 : month + 9) + 2) / 5 +
        (uint32_t)mday - 1;
    const uint32_t in_cycle = year_in_cycle * 365 + year_in_cycle / 4 -
                              year_in_cycle / 100 + in_year;
    return cycle * 146097 + (int64_t)in_cycle - 719468;
}

/* ---- the boundary ------------------------------------------------------ */

static inline PyObject *utc_datetime(int y, int mo, int d, int h, int mi, int s,
                              int us)
{
    return PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(
        y, mo, d, h, mi, s, us, PyDateTime_TimeZone_UTC, 0,
        PyDateTimeAPI->DateTimeType);
}

/* Exact ints read without a call where the interpreter's layout allows it:
   PyLong_AsLong is out of line, and a millisecond time stamp takes two
   30-bit digits. */
#if defined(PYPY_VERSION)
static inline int read_small(PyObject *o, long long *v)
{
    (void)o, (void)v;
    return 0;
}
#define read_two_digits read_small
#elif PY_VERSION_HEX >= 0x030C0000
static inline int read_small(PyObject *o, long long *v)
{
    if (!PyLong_CheckExact(o) || !PyUnstable_Long_IsCompact((PyLongObject *)o))
        return 0;
    *v = (long long)PyUnstable_Long_CompactValue((PyLongObject *)o);
    return 1;
}
#define read_two_digits read_small
#else
/* up to 3.11 the size field is the signed count of 30-bit digits */
static inline int read_small(PyObject *o, long long *v)
{
    if (!PyLong_CheckExact(o))
        return 0;
    const Py_ssize_t size = Py_SIZE(o);
    if ((size_t)(size + 1) > 2) /* -1, 0 or 1 digit */
        return 0;
    *v = (long long)size * ((PyLongObject *)o)->ob_digit[0];
    return 1;
}
static inline int read_two_digits(PyObject *o, long long *v)
{
    if (!PyLong_CheckExact(o))
        return 0;
    const Py_ssize_t size = Py_SIZE(o);
    const digit *d = ((PyLongObject *)o)->ob_digit;
    if (size == 2 || size == -2) {
        const long long magnitude = d[0] | (long long)d[1] << PyLong_SHIFT;
        *v = size < 0 ? -magnitude : magnitude;
        return 1;
    }
    return read_small(o, v);
}
#endif

/* a datetime in UTC: tzinfo is timezone.utc itself, or else equal to it */
static inline int utc_argument(PyObject *o)
{
    if (!PyDateTime_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "expected a datetime");
        return -1;
    }
    PyObject *zone = PyDateTime_DATE_GET_TZINFO(o);
    if (zone == PyDateTime_TimeZone_UTC)
        return 0;
    const int equal =
        zone == Py_None
            ? 0
            : PyObject_RichCompareBool(zone, PyDateTime_TimeZone_UTC, Py_EQ);
    if (equal > 0)
        return 0;
    if (equal == 0)
        PyErr_SetString(PyExc_ValueError, "expected a datetime in UTC");
    return -1;
}


/* times.c */
PyObject *str_to_date(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *date_to_str(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *ms_to_date(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *truncate_to_day(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);
PyObject *now_ms(PyObject *, PyObject *);
PyObject *now_date(PyObject *, PyObject *);
PyObject *now_ms_fastcall(PyObject *, PyObject *const *, Py_ssize_t);
PyObject *now_date_fastcall(PyObject *, PyObject *const *, Py_ssize_t);
int times_init(void);

/* classes.c */
PyObject *make_record(PyObject *, PyObject *);
PyObject *make_slot_record(PyObject *, PyObject *);
int classes_init(PyObject *module);

#endif
