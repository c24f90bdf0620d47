/* The module benchfloor: the functions of times.c and the classes of classes.c. */
#include "floor.h"

#define ONE_ARGUMENT(f, doc)                                                  \
    {#f, (PyCFunction)(void (*)(void))f, METH_FASTCALL | METH_KEYWORDS, doc}
static PyMethodDef functions[] = {
    ONE_ARGUMENT(str_to_date, "str_to_date(s)\n--\n\n"),
    ONE_ARGUMENT(date_to_str, "date_to_str(d)\n--\n\n"),
    ONE_ARGUMENT(ms_to_date, "ms_to_date(ts)\n--\n\n"),
    ONE_ARGUMENT(truncate_to_day, "truncate_to_day(date)\n--\n\n"),
    {"now_ms", now_ms, METH_NOARGS, "now_ms()\n--\n\n"},
    {"now_date", now_date, METH_NOARGS, "now_date()\n--\n\n"},
    {"now_ms_fc", (PyCFunction)(void (*)(void))now_ms_fastcall, METH_FASTCALL,
     "now_ms_fc()\n--\n\n"},
    {"now_date_fc", (PyCFunction)(void (*)(void))now_date_fastcall,
     METH_FASTCALL, "now_date_fc()\n--\n\n"},
    {"make_record", make_record, METH_VARARGS,
     "make_record(close, code, status, trades, open_time)\n--\n\n"},
    {"make_slot_record", make_slot_record, METH_VARARGS,
     "make_slot_record(close, code, status, trades, open_time)\n--\n\n"},
    {NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "benchfloor",
    .m_doc = "The least tavex's hot operations can cost: the bench's measuring stick.",
    .m_size = -1,
    .m_methods = functions,
};


PyMODINIT_FUNC PyInit_benchfloor(void)
{
    if (times_init() < 0)
        return NULL;
    PyObject *m = PyModule_Create(&module);
    if (m != NULL && classes_init(m) < 0)
        Py_CLEAR(m);
    return m;
}
