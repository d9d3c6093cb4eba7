"""What the before/after comparisons share: running one measurement in a fresh child
process and showing its CPU time, user and system apart."""

import json
import subprocess


def run_child(python, script, *args, cwd=None):
    """Runs script --child ARGS with python; its last line of output is a JSON result."""
    out = subprocess.run([python, str(script), "--child", *map(str, args)], cwd=cwd,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, check=False)
    if out.returncode != 0:
        raise SystemExit(f"{python} {script} {' '.join(map(str, args))} failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def cpu_s(t):
    return t["user"] + t["system"]


def fmt(t, decimals=1):
    """CPU time as "total (user + system)", in ms below a second, with decimals places
    there and two more in seconds."""
    if cpu_s(t) < 1:
        return (f"{cpu_s(t) * 1e3:.{decimals}f} ms ({t['user'] * 1e3:.{decimals}f} + "
                f"{t['system'] * 1e3:.{decimals}f})")
    d = decimals + 2
    return f"{cpu_s(t):.{d}f} s ({t['user']:.{d}f} + {t['system']:.{d}f})"
