/* The classes: OrderStatus, the Record that makes a new object per read, and the
   SlotRecord of stored objects. */
#include "floor.h"

/* ---- OrderStatus: an enumeration of six members ----------------------- */

typedef struct {
    PyObject_HEAD
    unsigned char value;
} Member;

#define MEMBERS 6
static const char *const member_names[MEMBERS] = {
    "Created", "Submitted", "PartialFilled", "Filled", "Canceled", "Rejected"};

static PyTypeObject *status_type;       /* repr: a str made once */
static PyTypeObject *fresh_status_type; /* repr: a new str each time */
static PyObject *member_reprs[MEMBERS];
static PyObject *member_ints[MEMBERS];

/* A member as a record's read makes it: allocated, no clearing, no GC. */
static PyObject *new_member(PyTypeObject *type, int value)
{
    Member *m = (Member *)PyObject_Malloc(sizeof(Member));
    if (m == NULL)
        return PyErr_NoMemory();
    PyObject_Init((PyObject *)m, type);
    m->value = (unsigned char)value;
    return (PyObject *)m;
}

static void member_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

static PyObject *member_repr(PyObject *self)
{
    return new_ref(member_reprs[((Member *)self)->value]);
}

static const char *const member_texts[MEMBERS] = {
    "OrderStatus.Created",  "OrderStatus.Submitted",
    "OrderStatus.PartialFilled", "OrderStatus.Filled",
    "OrderStatus.Canceled", "OrderStatus.Rejected"};

static PyObject *member_repr_fresh(PyObject *self)
{
    const char *text = member_texts[((Member *)self)->value];
    return PyUnicode_FromStringAndSize(text, (Py_ssize_t)strlen(text));
}

static PyObject *member_int(PyObject *self)
{
    return new_ref(member_ints[((Member *)self)->value]);
}

static PyObject *compared(long long a, long long b, int op)
{
    if (op != Py_EQ && op != Py_NE)
        Py_RETURN_NOTIMPLEMENTED;
    return new_ref((a == b) == (op == Py_EQ) ? Py_True : Py_False);
}

/* out of line: the fast paths then need no stack frame */
static PyObject *__attribute__((noinline))
compare_other(long long a, PyObject *other, int op)
{
    const long b = PyLong_AsLong(other);
    if (b == -1 && PyErr_Occurred()) {
        PyErr_Clear(); /* not an int, or too large for one */
        Py_RETURN_NOTIMPLEMENTED;
    }
    return compared(a, b, op);
}

static PyObject *member_compare(PyObject *self, PyObject *other, int op)
{
    const long long a = ((Member *)self)->value;
    long long b;
    if (Py_TYPE(other) == Py_TYPE(self))
        return compared(a, ((Member *)other)->value, op);
    if (read_small(other, &b))
        return compared(a, b, op);
    return compare_other(a, other, op);
}

static PyObject *not_constructible(PyTypeObject *type, PyObject *args,
                                   PyObject *kw)
{
    return PyErr_Format(PyExc_TypeError, "%s cannot be made from Python",
                        type->tp_name);
}

static PyType_Slot status_slots[] = {
    {Py_tp_repr, member_repr},
    {Py_nb_int, member_int},
    {Py_tp_richcompare, member_compare},
    {Py_tp_new, not_constructible},
    {Py_tp_dealloc, member_dealloc},
    {0, NULL},
};
static PyType_Spec status_class = {"benchfloor.OrderStatus", sizeof(Member), 0,
                                   Py_TPFLAGS_DEFAULT, status_slots};

static PyType_Slot fresh_status_slots[] = {
    {Py_tp_repr, member_repr_fresh},
    {Py_nb_int, member_int},
    {Py_tp_richcompare, member_compare},
    {Py_tp_new, not_constructible},
    {Py_tp_dealloc, member_dealloc},
    {0, NULL},
};
static PyType_Spec fresh_status_class = {"benchfloor.OrderStatusFresh",
                                         sizeof(Member), 0, Py_TPFLAGS_DEFAULT,
                                         fresh_status_slots};

/* ---- Record: native fields, a new object per read ---------------------- */

typedef struct {
    PyObject_HEAD
    double close;
    int64_t trades;
    char *code; /* UTF-8, owned */
    Py_ssize_t code_size;
    int code_is_ascii;
    int status;
    /* open_time as UTC calendar fields, as tavex keeps a date-time */
    int year, month, day, hour, minute, second, microsecond;
} Record;

static PyTypeObject *record_type;

static PyObject *record_close(PyObject *self, void *unused)
{
    return PyFloat_FromDouble(((Record *)self)->close);
}

static PyObject *record_trades(PyObject *self, void *unused)
{
    return PyLong_FromLongLong(((Record *)self)->trades);
}

static PyObject *record_code(PyObject *self, void *unused)
{
    const Record *r = (const Record *)self;
    if (!r->code_is_ascii)
        return PyUnicode_DecodeUTF8(r->code, r->code_size, NULL);
    PyObject *text = PyUnicode_New(r->code_size, 127);
    if (text != NULL)
        memcpy(PyUnicode_1BYTE_DATA(text), r->code, (size_t)r->code_size);
    return text;
}

static PyObject *record_status(PyObject *self, void *unused)
{
    return new_member(status_type, ((Record *)self)->status);
}

static PyObject *record_open_time(PyObject *self, void *unused)
{
    const Record *r = (const Record *)self;
    return utc_datetime(r->year, r->month, r->day, r->hour, r->minute,
                        r->second, r->microsecond);
}

static PyGetSetDef record_fields[] = {
    {"close", record_close, NULL, NULL, NULL},
    {"code", record_code, NULL, NULL, NULL},
    {"status", record_status, NULL, NULL, NULL},
    {"trades", record_trades, NULL, NULL, NULL},
    {"open_time", record_open_time, NULL, NULL, NULL},
    {NULL},
};

static void record_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    PyMem_Free(((Record *)self)->code);
    type->tp_free(self);
    Py_DECREF(type);
}

static PyType_Slot record_slots[] = {
    {Py_tp_getset, record_fields},
    {Py_tp_new, not_constructible},
    {Py_tp_dealloc, record_dealloc},
    {0, NULL},
};
static PyType_Spec record_class = {"benchfloor.Record", sizeof(Record), 0,
                                   Py_TPFLAGS_DEFAULT, record_slots};

/* ---- SlotRecord: stored objects, the least any attribute read costs ---- */

typedef struct {
    PyObject_HEAD
    PyObject *fields[5];
} SlotRecord;

static PyTypeObject *slot_record_type;

#define SLOT(name, k)                                                         \
    {name, T_OBJECT_EX, offsetof(SlotRecord, fields) + (k) * sizeof(PyObject *), \
     READONLY, NULL}
static PyMemberDef slot_record_members[] = {
    SLOT("close", 0), SLOT("code", 1), SLOT("status", 2),
    SLOT("trades", 3), SLOT("open_time", 4), {NULL},
};

static void slot_record_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    for (int k = 0; k < 5; k++)
        Py_XDECREF(((SlotRecord *)self)->fields[k]);
    type->tp_free(self);
    Py_DECREF(type);
}

static PyType_Slot slot_record_slots[] = {
    {Py_tp_members, slot_record_members},
    {Py_tp_new, not_constructible},
    {Py_tp_dealloc, slot_record_dealloc},
    {0, NULL},
};
static PyType_Spec slot_record_class = {"benchfloor.SlotRecord",
                                        sizeof(SlotRecord), 0,
                                        Py_TPFLAGS_DEFAULT, slot_record_slots};

/* make_record(close, code, status, trades, open_time): untimed */
PyObject *make_record(PyObject *self, PyObject *args)
{
    double close;
    PyObject *code, *when;
    int status;
    long long trades;
    if (!PyArg_ParseTuple(args, "dUiLO", &close, &code, &status, &trades,
                          &when))
        return NULL;
    if (status < 0 || status >= MEMBERS)
        return PyErr_Format(PyExc_ValueError, "no member %d", status);
    if (utc_argument(when) < 0)
        return NULL;
    Py_ssize_t size;
    const char *utf8 = PyUnicode_AsUTF8AndSize(code, &size);
    if (utf8 == NULL)
        return NULL;
    Record *r = (Record *)record_type->tp_alloc(record_type, 0);
    if (r == NULL)
        return NULL;
    if ((r->code = PyMem_Malloc((size_t)size + 1)) == NULL) {
        Py_DECREF(r);
        return PyErr_NoMemory();
    }
    memcpy(r->code, utf8, (size_t)size + 1);
    r->code_size = size;
    r->code_is_ascii = PyUnicode_IS_ASCII(code);
    r->close = close;
    r->trades = trades;
    r->status = status;
    r->year = PyDateTime_GET_YEAR(when);
    r->month = PyDateTime_GET_MONTH(when);
    r->day = PyDateTime_GET_DAY(when);
    r->hour = PyDateTime_DATE_GET_HOUR(when);
    r->minute = PyDateTime_DATE_GET_MINUTE(when);
    r->second = PyDateTime_DATE_GET_SECOND(when);
    r->microsecond = PyDateTime_DATE_GET_MICROSECOND(when);
    return (PyObject *)r;
}

/* make_slot_record(close, code, status, trades, open_time): holds these very
   objects, so that it shares them with the Python classes it is set beside */
PyObject *make_slot_record(PyObject *self, PyObject *args)
{
    if (PyTuple_GET_SIZE(args) != 5)
        return PyErr_Format(PyExc_TypeError, "expected five fields");
    SlotRecord *r =
        (SlotRecord *)slot_record_type->tp_alloc(slot_record_type, 0);
    if (r == NULL)
        return NULL;
    for (int k = 0; k < 5; k++)
        r->fields[k] = new_ref(PyTuple_GET_ITEM(args, k));
    return (PyObject *)r;
}


/* a class of six members, each an attribute of the class */
static PyTypeObject *enumeration(PyType_Spec *shape)
{
    PyTypeObject *type = (PyTypeObject *)PyType_FromSpec(shape);
    for (int k = 0; type != NULL && k < MEMBERS; k++) {
        PyObject *m = new_member(type, k);
        if (m == NULL ||
            PyObject_SetAttrString((PyObject *)type, member_names[k], m) < 0)
            Py_CLEAR(type);
        Py_XDECREF(m);
    }
    return type;
}

int classes_init(PyObject *module)
{
    PyDateTime_IMPORT; /* this file's copy of the interface */
    if (PyDateTimeAPI == NULL)
        return -1;
    for (int k = 0; k < MEMBERS; k++) {
        member_reprs[k] = PyUnicode_FromString(member_texts[k]);
        member_ints[k] = PyLong_FromLong(k);
        if (member_reprs[k] == NULL || member_ints[k] == NULL)
            return -1;
        PyUnicode_InternInPlace(&member_reprs[k]);
    }
    if (!(status_type = enumeration(&status_class)) ||
        !(fresh_status_type = enumeration(&fresh_status_class)) ||
        !(record_type = (PyTypeObject *)PyType_FromSpec(&record_class)) ||
        !(slot_record_type = (PyTypeObject *)PyType_FromSpec(&slot_record_class)))
        return -1;
    if (PyModule_AddObject(module, "OrderStatus", new_ref((PyObject *)status_type)) < 0 ||
        PyModule_AddObject(module, "OrderStatusFresh",
                           new_ref((PyObject *)fresh_status_type)) < 0 ||
        PyModule_AddObject(module, "Record", new_ref((PyObject *)record_type)) < 0 ||
        PyModule_AddObject(module, "SlotRecord", new_ref((PyObject *)slot_record_type)) < 0)
        return -1;
    return 0;
}
