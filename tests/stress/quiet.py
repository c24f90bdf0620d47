"""Silencing fd 2: valid safe_float calls write an internal failure diagnostic on every call."""
import contextlib
import os
import sys


@contextlib.contextmanager
def stderr_silenced():
    sys.stderr.flush()
    saved = os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    os.close(null)
    try:
        yield
    finally:
        sys.stderr.flush()
        os.dup2(saved, 2)
        os.close(saved)
