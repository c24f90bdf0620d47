/* The allocation-failure injector of the sweep: the hook of CPython's
 * _testcapi.set_nomemory(start, stop) (the same counting: allocation number `start`, counted
 * from 0 over the raw, mem and object domains, and every later one below `stop` fail; stop 0
 * means no end), plus what the sweep needs beside it: the count of allocations made and of
 * failures given, and a call that is armed only while the callable runs, disarmed in C the
 * moment it returns, so that no line of the sweep's own Python code runs under injection.
 *
 * Needs no Python headers: the few C-API functions it calls resolve against the running
 * interpreter when ctypes loads it (as ctypes.PyDLL, so that a pending exception is raised).
 */
#include <stddef.h>

typedef struct _object PyObject;
typedef struct {
  void *ctx;
  void *(*malloc)(void *ctx, size_t size);
  void *(*calloc)(void *ctx, size_t nelem, size_t elsize);
  void *(*realloc)(void *ctx, void *ptr, size_t new_size);
  void (*free)(void *ctx, void *ptr);
} PyMemAllocatorEx;
enum { DOMAIN_RAW, DOMAIN_MEM, DOMAIN_OBJ, DOMAINS };

void PyMem_GetAllocator(int domain, PyMemAllocatorEx *allocator);
void PyMem_SetAllocator(int domain, PyMemAllocatorEx *allocator);
PyObject *PyObject_CallObject(PyObject *callable, PyObject *args);

static PyMemAllocatorEx saved[DOMAINS];
static long count, start, stop, failures;

static int fail_now(void) {
  const long n = count++;
  if (n >= start && (stop <= 0 || n < stop)) {
    failures++;
    return 1;
  }
  return 0;
}

static void *hook_malloc(void *ctx, size_t size) {
  PyMemAllocatorEx *a = ctx;
  return fail_now() ? NULL : a->malloc(a->ctx, size);
}
static void *hook_calloc(void *ctx, size_t nelem, size_t elsize) {
  PyMemAllocatorEx *a = ctx;
  return fail_now() ? NULL : a->calloc(a->ctx, nelem, elsize);
}
static void *hook_realloc(void *ctx, void *ptr, size_t new_size) {
  PyMemAllocatorEx *a = ctx;
  return fail_now() ? NULL : a->realloc(a->ctx, ptr, new_size);
}
static void hook_free(void *ctx, void *ptr) {
  PyMemAllocatorEx *a = ctx;
  a->free(a->ctx, ptr);
}

static void arm(long first, long end) {
  count = failures = 0;
  start = first;
  stop = end;
  for (int d = 0; d < DOMAINS; ++d) {
    PyMem_GetAllocator(d, &saved[d]);
    PyMemAllocatorEx hook = {&saved[d], hook_malloc, hook_calloc, hook_realloc, hook_free};
    PyMem_SetAllocator(d, &hook);
  }
}

static void disarm(void) {
  for (int d = 0; d < DOMAINS; ++d) PyMem_SetAllocator(d, &saved[d]);
}

/* callable() with allocations start..stop-1 failing; null with the exception pending. */
PyObject *nomem_call(PyObject *callable, long first, long end) {
  arm(first, end);
  PyObject *result = PyObject_CallObject(callable, NULL);
  disarm();
  return result;
}

long nomem_count(void) { return count; }
long nomem_failures(void) { return failures; }

void PyErr_Fetch(PyObject **type, PyObject **value, PyObject **traceback);
void PyErr_Restore(PyObject *type, PyObject *value, PyObject *traceback);
void Py_DecRef(PyObject *o);

/* nomem_call, then after() once disarmed (a lock's release, for a waiting thread). */
PyObject *nomem_call_then(PyObject *callable, long first, long end, PyObject *after) {
  PyObject *result = nomem_call(callable, first, end);
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyObject *done = PyObject_CallObject(after, NULL);
  if (done) Py_DecRef(done);
  PyErr_Restore(type, value, traceback);
  return result;
}
