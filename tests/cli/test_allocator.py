"""The command line run as a program has glibc give large freed buffers back to the system; a
caller of main() with its own arguments keeps its process's allocator as it was."""

import subprocess
import sys
import textwrap

import pytest

# Frees forty 4 MiB buffers that lie between 200 KB ones still alive, after one mapped buffer
# freed has raised glibc's threshold above them; prints the MiB still resident of them.
PROGRAM = textwrap.dedent(
    """
    import contextlib, io, sys
    import numpy as np
    from voxwarpkit.cli import main

    def resident():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:")) * 1024

    with contextlib.redirect_stdout(io.StringIO()):
        if sys.argv[1] == "command":
            sys.argv = ["voxwarpkit", "--version"]
            main()
        elif sys.argv[1] == "library":
            main(["--version"])
    warm = np.ones(8 << 20, np.uint8)
    del warm
    before = resident()
    kept, large = [], []
    for _ in range(40):
        large.append(np.ones(4 << 20, np.uint8))
        kept.append(np.ones(200_000, np.uint8))
    del large
    print((resident() - before) >> 20)
    """
)


def retained(how):
    done = subprocess.run([sys.executable, "-c", PROGRAM, how], capture_output=True, text=True, check=True)
    return int(done.stdout.split()[-1])


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="glibc's allocator")
def test_the_command_returns_large_freed_buffers_and_the_library_leaves_the_allocator_alone():
    untouched = retained("none")
    if untouched < 100:
        pytest.skip(f"this C library gave the buffers back by itself ({untouched} MiB kept)")
    assert retained("library") >= 100
    assert retained("command") < 32  # the 8 MB of small buffers kept, and some slack
