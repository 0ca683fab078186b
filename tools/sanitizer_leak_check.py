"""Leak check for interpreters of the sanitized test run.

The sanitized run installs this module into its venv together with a .pth
file that imports it, so every interpreter started there (pytest and the
interpreters the tests start) runs it. LeakSanitizer's own check at exit is
switched off for these interpreters (leak_check_at_exit=0): it would run
after the interpreter's finalisation, which leaves objects behind on
purpose. Instead, when the interpreter begins to exit, this collects the
cyclic garbage and asks LeakSanitizer for a recoverable check: every block
not reachable from the interpreter's live state is reported to the log
directory without changing the exit status, and tools/sanitizer_reports.py
decides which reports fail the run.
"""

import atexit
import gc


def _check_leaks():
    import ctypes

    try:
        check = ctypes.CDLL(None).__lsan_do_recoverable_leak_check
    except AttributeError:  # not running under the sanitizer runtime
        return
    gc.collect()
    check()


atexit.register(_check_leaks)
