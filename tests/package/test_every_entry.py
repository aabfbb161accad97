"""Every entry of the compiled modules runs on this Python and numpy: a process imports the package and
calls each once, so that a module that cannot be imported or a call that crashes is one failure here."""

import subprocess
import sys
from pathlib import Path

import _voxwarpkit
from voxwarpkit import _engine

SCRIPT = Path(__file__).with_name("every_engine_entry.py")


def entries(module):
    return {
        f"{module.__name__}.{name}"
        for name in dir(module)
        if type(getattr(module, name)).__name__ == "builtin_function_or_method"
    }


def test_each_entry_of_the_compiled_modules_runs_in_a_fresh_process():
    done = subprocess.run([sys.executable, str(SCRIPT)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr}"
    reached = set(done.stdout.split())
    expected = entries(_engine) | entries(_voxwarpkit)
    assert reached >= expected, f"not reached: {sorted(expected - reached)}"
