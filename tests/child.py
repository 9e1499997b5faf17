"""A fresh interpreter for test code that may crash, hang or take signals.

The suite outlives whatever happens there, and a hang ends at a bound as a
failure that shows where each thread stood. The child finds the module under
test (a developer build too), the simulated slave and ``tests``; its last
line of output is its result, as JSON. Import it as ``tests.child``."""
import json
import os
import signal
import socket
import subprocess
import sys
import textwrap

import qel_modbus

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD_DIR = os.path.dirname(os.path.abspath(qel_modbus.__file__))

# Armed before the test code runs: past the bound it prints every thread's
# stack and ends the process with exit code 1. Ctrl-C gets the interpreter's
# own handler back: a runner started in the background by a script (`cmd &`)
# ignores SIGINT, and its children inherit that.
_WATCHDOG = ("import faulthandler, signal\nfaulthandler.dump_traceback_later({seconds}, exit=True)\n"
             "signal.signal(signal.SIGINT, signal.default_int_handler)\n")
_HUNG = "Timeout ("  # how faulthandler's report begins


class Outcome:
    """How a child ended: ``returncode`` (None when it had to be killed),
    what it printed, and ``result``, its last line read as JSON."""

    def __init__(self, returncode, stdout, stderr):
        self.returncode, self.stdout, self.stderr = returncode, stdout, stderr

    @property
    def hung(self):
        return self.returncode is None or _HUNG in self.stderr

    def describe(self):
        if self.hung:
            how = "hung"
        elif self.returncode < 0:
            try:
                how = "killed by " + signal.Signals(-self.returncode).name
            except ValueError:
                how = "killed by signal %d" % -self.returncode
        else:
            how = "exit code %d" % self.returncode
        return "child %s\n--- stdout\n%s\n--- stderr\n%s" % (how, self.stdout[-2000:], self.stderr[-4000:])

    @property
    def result(self):
        lines = self.stdout.strip().splitlines()
        assert lines, self.describe()
        return json.loads(lines[-1])


def run(code, *args, seconds=20):
    """Runs `code` (dedented) with `args` in sys.argv[1:]. The child has
    `seconds` before its watchdog fires; the whole process group is killed
    a while after that, so a forked grandchild cannot outlive it."""
    source = _WATCHDOG.format(seconds=seconds) + textwrap.dedent(code)
    path = [BUILD_DIR, ROOT, os.environ.get("PYTHONPATH")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in path if p))
    proc = subprocess.Popen([sys.executable, "-c", source] + [str(a) for a in args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, universal_newlines=True, env=env,
                            start_new_session=hasattr(os, "killpg"))
    try:
        stdout, stderr = proc.communicate(timeout=seconds + 15)
    except subprocess.TimeoutExpired:
        if hasattr(os, "killpg"):
            os.killpg(proc.pid, signal.SIGKILL)
        else:
            proc.kill()
        stdout, stderr = proc.communicate()
        return Outcome(None, stdout, stderr)
    return Outcome(proc.returncode, stdout, stderr)


def error_record(e):
    """An exception as a child reports it; `timeout` is the socket's time-out
    error (socket.timeout, TimeoutError from 3.10)."""
    return {"type": type(e).__name__, "oserror": isinstance(e, OSError), "timeout": isinstance(e, socket.timeout),
            "errno": getattr(e, "errno", None), "text": str(e)}
