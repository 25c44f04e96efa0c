"""What bench/run.py and bench/worst_case.py share."""

import platform

# The start of their one-call probes, run in a fresh interpreter: it reads the
# documents named on the command line, looks up the function named last and
# resets the peak resident size, leaving `texts`, `fn`, `status(key)` and `before`
# (the resident bytes before the call) defined.
PROBE_PRELUDE = r"""
import gc, json, sys, time
import _veltrinax as vx

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise SystemExit("no " + key)

paths, name = sys.argv[1:-1], sys.argv[-1]
texts = [open(p, encoding="utf-8").read() for p in paths]
fn = getattr(vx, name)
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the peak resident size to the current one
before = status("VmRSS")
"""


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()
