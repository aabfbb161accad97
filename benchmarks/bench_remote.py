"""Bytes per second read and written at a local S3 endpoint against the local disk; prints figures, asserts nothing.

The endpoint is moto's server (moto[server]) on a free loopback port, in
this process: a Python server, far slower per request than S3 itself, so
these figures bound what the client side (zarr's FsspecStore over s3fs,
many requests in flight) costs rather than what a real bucket gives. What
is measured, on a fully written uint16 Zarr input of --size GiB in chunks of
--chunks (z y x), each run its own process started with the AWS_* environment
a user sets:

1. the store alone: reading every chunk (zarr, one call for the whole array)
   and writing it again, from the disk and from the endpoint;
2. ``voxwarpkit apply IN OUT -m rot.txt`` (a rotation of 30 degrees about x
   and 20 about z, linear) and ``voxwarpkit pyramid IN OUT --levels 3``, with
   IN and OUT on the disk, then both at the endpoint.

MB/s read counts the input's stored bytes over the run's seconds, MB/s
written the output's; seconds are wall time, start-up included.

    python benchmarks/bench_remote.py [--size 0.25] [--chunks 64 256 256] [--threads 2]
"""

import argparse
import logging
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import s3fs
import zarr
from machine import processor_model  # this folder is on the path of a script run from it
from moto.server import ThreadedMotoServer

import voxwarpkit

MB = 10**6
BUCKET = "bench"


def stored_bytes(fs, path):
    """The bytes of every object under ``path`` (a local folder or a bucket's prefix)."""
    if fs is None:
        return sum(p.stat().st_size for p in Path(path).rglob("*") if p.is_file())
    return sum(fs.du(path, total=False).values())


def timed(command, env):
    started = time.perf_counter()
    done = subprocess.run([str(a) for a in command], env=env, capture_output=True, text=True)
    seconds = time.perf_counter() - started
    if done.returncode != 0:
        print(f"  failed: {' '.join(map(str, command))}\n  {done.stderr.strip().splitlines()[-1:]}")
        return None
    return seconds


STORE_CHILD = """
import sys, time, zarr
source, target = sys.argv[1:3]
started = time.perf_counter()
values = zarr.open_array(source, mode="r")[...]
read = time.perf_counter() - started
chunks = zarr.open_array(source, mode="r").chunks
started = time.perf_counter()
zarr.create_array(target, shape=values.shape, chunks=chunks, dtype=values.dtype, overwrite=True)[...] = values
print(read, time.perf_counter() - started)
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=float, default=0.25, help="GiB of the input (default 0.25)")
    parser.add_argument("--chunks", type=int, nargs=3, default=[64, 256, 256], help="its chunks (z y x)")
    parser.add_argument("--threads", type=int, default=2, help="threads of every run (default 2)")
    args = parser.parse_args()

    logging.getLogger("werkzeug").setLevel(logging.ERROR)  # the server's line per request
    server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    host, port = server.get_host_and_port()
    env = dict(os.environ, AWS_ACCESS_KEY_ID="bench", AWS_SECRET_ACCESS_KEY="bench", AWS_DEFAULT_REGION="us-east-1")
    env["AWS_ENDPOINT_URL"] = f"http://{host}:{port}"
    os.environ.update(env)
    folder = Path(tempfile.mkdtemp(prefix="bench_remote-"))
    try:
        fs = s3fs.S3FileSystem()
        fs.mkdir(BUCKET)
        side = max(1, round((args.size * 2**30 / 2) ** (1 / 3)))
        shape = (side, side, side)
        source = zarr.create_array(str(folder / "in.zarr"), shape=shape, chunks=args.chunks, dtype="u2")
        rng = np.random.default_rng(0)
        for z in range(0, side, args.chunks[0]):
            source[z : z + args.chunks[0]] = rng.integers(80, 120, (min(args.chunks[0], side - z), side, side), "u2")
        source.attrs["voxel_size"] = [1.0, 1.0, 1.0]
        rotation = voxwarpkit.rigid(shape, (1, 1, 1), rotation=(30, 0, 20))
        np.savetxt(folder / "rot.txt", np.asarray(rotation).reshape(3, 4))
        fs.put(str(folder / "in.zarr") + "/", f"{BUCKET}/in.zarr", recursive=True)
        fs.put_file(str(folder / "rot.txt"), f"{BUCKET}/rot.txt")
        input_bytes = stored_bytes(None, folder / "in.zarr")
        endpoint = f"moto {moto_version()} at {host}:{port}"
        print(f"processor: {processor_model()}; {os.cpu_count()} CPUs; endpoint: {endpoint}")
        described = f"{'x'.join(map(str, shape))} uint16 in chunks {tuple(args.chunks)}"
        print(f"input: {described}, {input_bytes / MB:.0f} MB stored")
        print(f"{'run':<44}{'where':>8}{'seconds':>9}{'MB/s read':>11}{'MB/s written':>14}")

        places = {"disk": (str(folder), None), "S3": (f"s3://{BUCKET}", fs)}
        for where, (base, store_fs) in places.items():
            child = [sys.executable, "-c", STORE_CHILD, f"{base}/in.zarr", f"{base}/copy.zarr"]
            done = subprocess.run(child, env=env, capture_output=True, text=True)
            if done.returncode == 0:
                read, write = (float(v) for v in done.stdout.split())
                copy_bytes = stored_bytes(store_fs, f"{base if store_fs is None else BUCKET}/copy.zarr")
                print(
                    f"{'zarr: read the array, write it again':<44}{where:>8}{read + write:>9.1f}"
                    f"{input_bytes / MB / read:>11.0f}{copy_bytes / MB / write:>14.0f}"
                )
        for name, command in (
            ("apply -m rot.txt", ["apply", "{base}/in.zarr", "{base}/apply.zarr", "-m", "{base}/rot.txt"]),
            ("pyramid --levels 3", ["pyramid", "{base}/in.zarr", "{base}/pyramid.zarr", "--levels", "3"]),
        ):
            for where, (base, store_fs) in places.items():
                arguments = [a.format(base=base) for a in command] + ["--threads", str(args.threads)]
                seconds = timed([sys.executable, "-m", "voxwarpkit", *arguments], env)
                if seconds is None:
                    continue
                out = arguments[2] if store_fs is None else arguments[2][len("s3://") :]
                written = stored_bytes(store_fs, out)
                print(
                    f"{'voxwarpkit ' + name:<44}{where:>8}{seconds:>9.1f}"
                    f"{input_bytes / MB / seconds:>11.0f}{written / MB / seconds:>14.0f}"
                )
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        server.stop()


def moto_version():
    import moto

    return moto.__version__


if __name__ == "__main__":
    main()
