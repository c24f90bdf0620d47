"""Allocation-failure sweep: every tavex operation survives every failed allocation.

    python tests/faults/nomem_sweep.py [--quick] [--only REGEX] [--forms single,run]

For `import tavex` and for every case of tests/stress/workload.py (each function's success
and failure paths, the enumeration operations, records made through the native factory and
read field by field), plus the leap-second output under each warnings action and from a
thread with no Python frame, it runs attempts k = 0, 1, 2, ... in two forms: allocation
number k fails alone ("single"), and every allocation from k on fails ("run"), until the
operation completes without reaching allocation k. Each attempt is one forked process
(imports and warm-up are done once, in the parent; the import sweep forks before tavex is
loaded), so no attempt sees the debris of another.

The injector (nomem.c, built here with the C compiler) is the hook of CPython's
_testcapi.set_nomemory, armed only while the operation runs and disarmed in C as it returns.

Each attempt must end in the normal result, MemoryError or the case's own documented
exception (for the import: MemoryError, or the class-creation RuntimeError chain), with no
signal, no hang and no SystemError from a call into tavex; afterwards the case runs normally
again in the same process. A failed import must leave sys.modules without tavex, and the next
import must succeed, with the class objects made before the failure reused. On a debug
interpreter the total reference count must be the same before and after each attempt.

--attempt NAME K STOP runs one attempt in this process, for a debugger. Exits 1 on any fault.
"""

import argparse
import collections
import ctypes
import functools
import gc
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "stress"))

CLASSES = ["RunMode", "TradeKind", "TradeType", "TradeSide", "OrderStatus", "CandleInterval",
           "EventType", "Pair", "Candle", "Order", "Position"]
NAMES = CLASSES + ["safe_float", "truncate_to_day", "str_to_date", "date_to_str", "ms_to_date",
                   "now_date", "now_ms"]
ENUMS = CLASSES[:7]
LEAP_TEXT = "2016-12-31T23:59:60Z"

# SystemErrors that the interpreter raises when a C function breaks the error protocol (a null
# result with no exception, or a result with one) are tavex's when they name a tavex callable
# or the module's initialisation, as are the texts tavex raises itself. Those that name a
# Python function come from the interpreter's own frames: CPython 3.11+ clears the pending
# exception when it cannot allocate the frame object it links on the way out.
TAVEX_SYSTEM_ERRORS = re.compile(
    r".*(built-in (function|method) (" + "|".join(NAMES[11:]) + r")\b|tavex|error return "
    r"without exception set|attempted to fetch exception but none was set|invalid "
    r"discriminant).*", re.S)
# Exceptions the interpreter itself raises for a failed allocation, besides MemoryError.
INTERPRETER_EXCEPTIONS = {(RuntimeError, "can't allocate lock")}


def classify_exception(exc):
    """The verdict for MemoryError, SystemError and the interpreter's own exceptions, or None."""
    if type(exc) is MemoryError:
        return "MemoryError"
    if type(exc) is SystemError:
        return ("SystemError (tavex)" if TAVEX_SYSTEM_ERRORS.fullmatch(str(exc))
                else "SystemError (interpreter)")
    if (type(exc), str(exc)) in INTERPRETER_EXCEPTIONS:
        return "interpreter exception"
    return None


def refs():
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0


def build_injector(cc, out=None):
    """Builds nomem.c (unless `out` names a build of it, e.g. one with -O0 -g for gdb)."""
    if out is None:
        out = os.path.join(tempfile.mkdtemp(prefix="tavex-nomem-"), "libnomem.so")
        subprocess.run([cc, "-shared", "-fPIC", "-O2", "-Wall", "-Wextra", "-Werror", "-o", out,
                        os.path.join(HERE, "nomem.c")], check=True)
    lib = ctypes.PyDLL(out)
    lib.nomem_call.restype = ctypes.py_object
    lib.nomem_call.argtypes = [ctypes.py_object, ctypes.c_long, ctypes.c_long]
    lib.nomem_call_then.restype = ctypes.py_object
    lib.nomem_call_then.argtypes = [ctypes.py_object, ctypes.c_long, ctypes.c_long,
                                    ctypes.py_object]
    lib.nomem_count.restype = lib.nomem_failures.restype = ctypes.c_long
    return lib


class Op:
    """One operation to sweep: `case` (a workload Case) judges its outcome; `setup` runs in
    the child before the attempt."""

    def __init__(self, name, case, setup=None, armed=None):
        self.name, self.case, self.setup = name, case, setup
        self.armed = armed  # armed(k, stop) arms the injector itself


def quiet_fd2():
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    os.close(null)


# --- judging one attempt --------------------------------------------------------------------

def verdict(case, got, exc):
    """'normal', 'MemoryError', 'documented', 'SystemError (tavex)', 'SystemError (interpreter)'
    or 'wrong: ...'."""
    if exc is None:
        try:
            case.judge(got)
            return "normal"
        except Exception as e:  # noqa: BLE001
            return f"wrong: {e}"
    known = classify_exception(exc)
    if known:
        return known
    if type(exc) is case.raises and str(exc) == "" and (case.text or case.match or case.prefix):
        # The documented class without its message: the interpreter's PyErr_Format (here
        # datetime's) raises that when it cannot make the text, and drops the MemoryError.
        return "interpreter exception"
    try:
        case.judge(None, exc)
        return "documented"
    except Exception:  # noqa: BLE001
        return f"wrong: {type(exc).__name__}: {exc}"


def attempt(lib, op, k, stop):
    """Runs one attempt here; returns its record (a dict).

    The reference count is taken around the attempt and around the same call with the
    injector never reaching its allocation; the difference is what the failure left behind."""
    if op.setup:
        op.setup()

    def once(first, end):
        got = exc = None
        try:
            got = op.armed(first, end) if op.armed else lib.nomem_call(op.case.call, first, end)
        except BaseException as e:  # noqa: B036
            exc = e
        found = verdict(op.case, got, exc)
        detail = None
        if isinstance(exc, SystemError) or found.startswith("wrong"):
            detail = f"{type(exc).__name__}: {exc}" if exc is not None else repr(got)
        del got, exc
        return found, lib.nomem_count(), lib.nomem_failures(), detail

    once(1 << 62, 0)  # what a first call leaves (a warnings registry entry) stays out
    gc.collect()
    r0 = refs()
    c_found, c_count, c_failures, c_detail = once(1 << 62, 0)
    gc.collect()
    r1 = refs()
    found, count, failures, detail = once(k, stop)
    gc.collect()
    r2 = refs()
    rec = {"verdict": found, "count": count, "failures": failures, "refs": (r2 - r1) - (r1 - r0)}
    if detail:
        rec["detail"] = detail
    del c_found, c_count, c_failures, c_detail
    try:  # the process is still usable: the case gives its normal outcome again
        op.case.run()
        rec["usable"] = True
    except Exception as e:  # noqa: BLE001
        rec["usable"] = False
        rec["detail"] = f"afterwards: {e}"
    return rec


def import_attempt(lib, k, stop):
    """`import tavex` under injection, then the checks of a failed import and its retry.

    Under injection runs the loader's C part (_imp.create_dynamic: PyInit_tavex and the
    interpreter's bookkeeping of the new module), with the module's spec found first; the
    retry is a plain import. importlib's own Python code is left out of the sweep: it is the
    interpreter's, and when every allocation fails it can spin in its lock loops."""
    import _imp
    import importlib.util
    load = functools.partial(_imp.create_dynamic, importlib.util.find_spec("tavex"))
    rec = {}
    exc = None
    try:
        lib.nomem_call(load, k, stop)
    except BaseException as e:  # noqa: B036
        exc = e
    rec["count"], rec["failures"] = lib.nomem_count(), lib.nomem_failures()
    problems = []
    if exc is None:
        rec["verdict"] = "normal"
    elif classify_exception(exc):
        rec["verdict"] = classify_exception(exc)
        rec["detail"] = f"{type(exc).__name__}: {exc}"
    elif type(exc) is RuntimeError:
        rec["verdict"] = "documented"
        problem = check_creation_chain(exc)
        if problem:
            rec["verdict"] = "wrong: " + problem
    else:
        rec["verdict"] = f"wrong: {type(exc).__name__}: {exc}"
    if exc is not None and "tavex" in sys.modules:
        if getattr(sys.modules["tavex"], "__all__", None) == NAMES:
            # PyInit_tavex succeeded; the interpreter's import machinery failed after it
            rec["note"] = "the import failed after PyInit_tavex succeeded"
        else:
            problems.append("a failed import left a partial tavex in sys.modules")
    del exc
    gc.collect()
    made = {}  # the class objects that exist now: those the failed import made and kept
    for o in gc.get_objects():
        if type(o) is type and o.__module__ == "builtins" and o.__name__ in CLASSES:
            made.setdefault(o.__name__, []).append(o)
    try:
        sys.modules.pop("tavex", None)
        import tavex
        if tavex.__all__ != NAMES:
            problems.append(f"__all__ after the retry: {tavex.__all__}")
        for name, objs in made.items():
            if len(objs) > 1 or getattr(tavex, name) is not objs[0]:
                problems.append(f"{name}: the retry did not reuse the class made before")
        import workload
        for cls in ENUMS:  # every member of every class, and a record of every class
            for i, member in enumerate(workload.ENUMS[cls]):
                m = getattr(getattr(tavex, cls), member)
                assert repr(m) == f"{cls}.{member}" and int(m) == i and m == i
        import records_support
        for case in records_support.cases(workload.Case)[::5]:
            case.run()
    except Exception as e:  # noqa: BLE001
        problems.append(f"retry: {type(e).__name__}: {e}")
    rec["usable"] = not problems
    if problems:
        rec["detail"] = "; ".join(problems)
    rec["refs"] = 0
    return rec


CLASS_FORM = re.compile(r"An error occurred while initializing class (\w+)")
INNER_FORM = re.compile(r"An error occurred while initializing `(\w+)\.(\w+)`")


def check_creation_chain(exc):
    """None when exc is the class form, optionally over the member or __dict__ form, over the
    cause; else what is wrong."""
    m = CLASS_FORM.fullmatch(str(exc))
    if not m or m.group(1) not in ENUMS:
        return f"RuntimeError {str(exc)!r} is not the class form"
    cause = exc.__cause__
    allowed = (MemoryError,)
    if type(cause) is RuntimeError:
        inner = INNER_FORM.fullmatch(str(cause))
        if not inner or inner.group(1) != m.group(1):
            return f"RuntimeError {str(cause)!r} under {str(exc)!r}"
        if inner.group(2) == "__dict__":
            # the attribute error of the failed assignment: CPython 3.13 reports a failed
            # insertion into a class dict as AttributeError "... has no attribute ..."
            allowed = (MemoryError, AttributeError)
        cause = cause.__cause__
    if type(cause) not in allowed:
        return f"the chain under {str(exc)!r} ends in {cause!r}"
    return None


# --- the parent: forking attempts -------------------------------------------------------------

def run_child(fn, timeout, verbose, gdb=None):
    """fn() in a forked child; its record, or the way the child died. With `gdb`, the child
    stops first, and the record holds the stack gdb shows after letting it go on."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        code = 0
        try:
            if not verbose:
                quiet_fd2()
            if gdb:
                os.kill(os.getpid(), signal.SIGSTOP)
            rec = fn()
            os.write(w, json.dumps(rec).encode())
        except BaseException as e:  # noqa: B036
            os.write(w, json.dumps({"verdict": f"harness: {type(e).__name__}: {e}"}).encode())
            code = 3
        finally:
            os._exit(code)
    os.close(w)
    trace = None
    if gdb:
        os.waitpid(pid, os.WUNTRACED)
        trace = subprocess.run([gdb, "-q", "-batch", "-p", str(pid), "-ex", "handle SIGSTOP nostop noprint nopass", "-ex", "continue",
                                "-ex", "bt 16", "-ex", "kill"], capture_output=True, text=True,
                               timeout=timeout).stdout
    data = b""
    deadline = time.monotonic() + timeout
    hung = False
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            hung = True
            os.kill(pid, signal.SIGKILL)
            break
        ready, _, _ = select.select([r], [], [], left)
        if ready:
            chunk = os.read(r, 65536)
            if not chunk:
                break
            data += chunk
    os.close(r)
    _, status = os.waitpid(pid, 0)
    if trace is not None:
        return {"verdict": "traced", "gdb": trace}
    if hung:
        return {"verdict": "hang"}
    if os.WIFSIGNALED(status):
        sig = os.WTERMSIG(status)
        return {"verdict": "abort" if sig == signal.SIGABRT else "crash",
                "detail": signal.Signals(sig).name}
    if not data:
        return {"verdict": "died", "detail": f"exit status {os.WEXITSTATUS(status)}"}
    return json.loads(data)


FAULTY = ("crash", "abort", "hang", "died", "harness", "SystemError (tavex)", "wrong")

# Crashes inside the interpreter's own code that tavex cannot steer around, by the functions at
# the top of the crashing stack (as gdb names them) and what happened.
KNOWN_INTERPRETER_CRASHES = [
    (("hashtable_hash_str", "_extensions_cache_set"), "CPython 3.13.0, Python/import.c: "
     "_extensions_cache_set hashes a key whose allocation failed, after PyInit_tavex returned"),
    (("import_run_extension",), "CPython 3.13.0, Python/import.c: import_run_extension, after "
     "PyInit_tavex returned the module, goes on past a failed allocation"),
    (("_PyImport_FixupExtensionObject", "_Py_CheckSlotResult"), "CPython 3.11, Python/import.c: "
     "_PyImport_FixupExtensionObject, after PyInit_tavex returned the module, goes on into "
     "sys.modules with a failed allocation's exception still set (fatal in debug builds)"),
    (("func_dealloc", "tb_dealloc"), "CPython 3.13.0: a failed function allocation in "
     "importlib's bootstrap code (before tavex is loaded) leaves a frame that crashes when "
     "its traceback is released"),
]


def explain_crash(fn, args):
    """Runs a crashing attempt again in a child that gdb attaches to before the attempt starts
    (the same fork, so the same allocations): (tavex's?, description, top frames)."""
    gdb = shutil.which("gdb")
    if not gdb:
        return True, "unexplained (gdb not installed)", ""
    out = run_child(fn, args.timeout * 10, args.verbose, gdb=gdb).get("gdb", "")
    frames = re.findall(r"^#\d+\s+(?:0x[0-9a-f]+ in )?(\S+) \(.*?(?: at (\S+)| from (\S+))?$",
                        out, re.M)
    names = [f[0] for f in frames]
    top = " < ".join(names[:4])
    if not names:
        return True, "unexplained (no stack)", ""
    if "tavex" in (frames[0][1] + frames[0][2]) or names[0].startswith("tavex::"):
        return True, "in tavex", top
    if "_Py_CheckFunctionResult" in names[:8] and re.search(
            r"_Py_CheckFunctionResult \(.*callable=\S*<function at", out):
        return False, ("a Python function returned NULL without an exception, which debug "
                       "builds treat as fatal: CPython 3.11+ clears the pending exception when "
                       "it cannot allocate the frame object it links on the way out"), top
    for needles, what in KNOWN_INTERPRETER_CRASHES:
        if all(any(n == want for n in names[:12]) for want in needles):
            return False, what, top
    return True, "unexplained", top


def is_fault(rec):
    return rec["verdict"].startswith(FAULTY) or not rec.get("usable", True) or rec.get("refs")


def sweep(name, fn, forms, args, report):
    """Runs fn(k, stop) for both forms and every k until the injector is not reached."""
    for form in forms:
        k = args.start
        made = 0
        while True:
            made += 1
            stop = k + 1 if form == "single" else 0
            rec = run_child(lambda: fn(k, stop), args.timeout, args.verbose)
            if rec["verdict"] in ("crash", "abort") and args.explain:
                ours, what, top = explain_crash(lambda: fn(k, stop), args)
                rec["detail"] = f"{rec['detail']}: {what}{' (' + top + ')' if top else ''}"
                if not ours:
                    rec["verdict"] = "interpreter crash"
                    rec["note"] = "interpreter crash"
            report.add(name, form, k, rec)
            if is_fault(rec):
                print(f"  fault at k={k} ({form}): {rec}", file=sys.stderr, flush=True)
            done = rec.get("failures") == 0 and rec["verdict"] in ("normal", "documented")
            if done or k >= args.max_k:
                if not done:
                    report.unfinished.append(f"{name} ({form}): stopped at k = {k}")
                break
            k += args.stride if name == "import tavex" else 1
        print(f"{name} ({form}): {made} attempts, {rec.get('count')} allocations",
              file=sys.stderr, flush=True)


class Report:
    def __init__(self):
        self.outcomes = collections.Counter()
        self.attempts = 0
        self.ops = collections.Counter()
        self.faults = []
        self.unfinished = []
        self.notes = {}  # (what, detail) -> attempts: the interpreter's, not tavex's

    def add(self, name, form, k, rec):
        self.attempts += 1
        self.ops[name] += 1
        self.outcomes[rec["verdict"].split(":")[0]] += 1
        note = rec.get("note") or (rec["verdict"] if rec["verdict"].startswith(
            ("SystemError (interpreter)", "interpreter exception")) else None)
        if note:
            key = (note, rec.get("detail", "").split(" at 0x")[0])
            self.notes.setdefault(key, []).append(f"{name} ({form}, k={k})")
        if is_fault(rec):
            self.faults.append((name, form, k, rec))


# --- the operations ---------------------------------------------------------------------------

def leap_ops(workload):
    """The leap-second output under each warnings action."""
    import tavex
    leap = workload.utc(2016, 12, 31, 23, 59, 59)
    ops = []
    for action in ("always", "default", "error"):
        def setup(a=action):
            warnings.resetwarnings()
            warnings.simplefilter(a)
            # Shown warnings go to a Python function that writes nothing: a failed write to
            # stderr would leave its text in the stream's buffer, a reference that is io's.
            warnings.showwarning = lambda *args, **kwargs: None
            sys.unraisablehook = lambda u: None
        ops.append(Op(f"str_to_date leap second, warnings '{action}'", workload.Case(
            "leap", lambda: tavex.str_to_date(LEAP_TEXT), leap), setup))
    return ops


def frameless_op(workload, lib):
    """str_to_date on a leap second, called by a new thread straight from C (no Python frame),
    so the warning takes its frameless place. This thread waits on a lock meanwhile: it runs
    no code of its own while the injector is armed."""
    import _thread
    import tavex

    def from_c_thread(k=1 << 62, stop=0):
        lock = _thread.allocate_lock()
        lock.acquire()
        call = functools.partial(tavex.str_to_date, LEAP_TEXT)
        _thread.start_new_thread(lib.nomem_call_then, (call, k, stop, lock.release))
        lock.acquire()
        return True

    return Op("str_to_date leap second, no Python frame",
              workload.Case("frameless leap", from_c_thread, True), armed=from_c_thread)


def all_ops(workload, lib):
    ops = [Op(c.name, c) for c in workload.all_cases()]
    return ops + leap_ops(workload) + [frameless_op(workload, lib)]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true",
                    help="the single form everywhere, the run form for the import and the "
                         "leap-second paths only")
    ap.add_argument("--forms", default="single,run")
    ap.add_argument("--only", help="regex: sweep only the operations it finds")
    ap.add_argument("--max-k", type=int, default=20000)
    ap.add_argument("--start", type=int, default=0, help="first k (for looking at one spot)")
    ap.add_argument("--stride", type=int, default=1,
                    help="try every n-th k of the import (the quick form uses 7)")
    ap.add_argument("--timeout", type=float, default=10.0, help="seconds per attempt")
    ap.add_argument("--cc", default=os.environ.get("CC", "cc"))
    ap.add_argument("--injector", help="a build of nomem.c to use instead of building one")
    ap.add_argument("--verbose", action="store_true", help="keep the children's stderr")
    ap.add_argument("--attempt", nargs=3, metavar=("NAME", "K", "STOP"))
    ap.add_argument("--no-explain", dest="explain", action="store_false",
                    help="do not rerun crashing attempts under gdb to find whose code crashed")
    args = ap.parse_args(argv)
    forms = args.forms.split(",")
    if args.quick and args.stride == 1:
        args.stride = 7
    lib = build_injector(args.cc, args.injector)
    only = re.compile(args.only) if args.only else None
    report = Report()
    t0 = time.monotonic()
    impl = f"{sys.implementation.name} {sys.version.split()[0]}{' debug' if refs() else ''}"

    if args.attempt and args.attempt[0] == "import tavex":
        print(import_attempt(lib, int(args.attempt[1]), int(args.attempt[2])))
        return 0
    if (not only or only.search("import tavex")) and not args.attempt:
        sweep("import tavex", lambda k, stop: import_attempt(lib, k, stop), forms, args, report)

    with open(os.devnull, "w") as null:  # valid safe_float calls write a diagnostic each
        saved = os.dup(2)
        os.dup2(null.fileno(), 2)
        try:
            import workload
            workload.quiet_leap_warnings()
            ops = all_ops(workload, lib)
            for op in ops:  # warm-up: caches filled once, before any fork
                if op.setup:
                    op.setup()
                op.case.run()
                op.case.run()
            warnings.resetwarnings()
            workload.quiet_leap_warnings()
            # The frameless case's thread may still be ending; the children never need it.
            warnings.filterwarnings("ignore", "This process .* is multi-threaded",
                                    DeprecationWarning)
        finally:
            os.dup2(saved, 2)
            os.close(saved)
    hook = sys.unraisablehook
    if args.attempt:
        op = next(o for o in ops if o.name == args.attempt[0])
        print(attempt(lib, op, int(args.attempt[1]), int(args.attempt[2])))
        return 0
    for op in ops:
        if only and not only.search(op.name):
            continue
        op_forms = forms
        if args.quick and "leap" not in op.name:
            op_forms = [f for f in forms if f == "single"]
        sweep(op.name, lambda k, stop, op=op: attempt(lib, op, k, stop), op_forms, args, report)
        sys.unraisablehook = hook

    secs = time.monotonic() - t0
    faults = report.faults
    for (what, detail), where in sorted(report.notes.items()):
        print(f"note: {len(where)} x {what}{' - ' + detail if detail else ''} (first: {where[0]})")
    for name, form, k, rec in report.faults:
        print(f"FAULT {name} ({form}, k={k}): {rec['verdict']}"
              f"{' - ' + rec['detail'] if rec.get('detail') else ''}"
              f"{'' if rec.get('usable', True) else ' [not usable afterwards]'}"
              f"{' [references %+d]' % rec['refs'] if rec.get('refs') else ''}")
    for line in report.unfinished:
        print(f"UNFINISHED {line}")
    outcomes = ", ".join(f"{n:,} {v}" for v, n in report.outcomes.most_common())
    ours = sum(report.outcomes[v] for v in ("crash", "abort", "hang", "died"))
    theirs = report.outcomes["interpreter crash"]
    crashes = f"{ours + theirs} crashes ({theirs} inside the interpreter's own code)"
    print(f"nomem sweep ({impl}): {len(report.ops)} operations, {report.attempts:,} attempts in "
          f"{secs:.0f} s ({', '.join(forms)}{', quick' if args.quick else ''}): {outcomes}; "
          f"{crashes}, {len(faults)} faults")
    return 1 if faults or report.unfinished else 0


if __name__ == "__main__":
    sys.exit(main())
