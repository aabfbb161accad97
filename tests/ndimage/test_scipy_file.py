"""scipy's own interpolation tests (scipy/ndimage/tests/test_interpolation.py, shipped in its wheel)
run against voxwarpkit.ndimage: its functions put in scipy.ndimage's place, everything else scipy's."""

from __future__ import annotations

import importlib.util
import os
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path
from typing import Dict

import pytest

if importlib.util.find_spec("scipy") is None or importlib.util.find_spec("scipy.ndimage.tests") is None:
    pytest.skip("scipy with its tests is not installed", allow_module_level=True)

TESTS = Path(__file__).resolve().parents[1]

# scipy's tests that fail against voxwarpkit.ndimage, by node id, with why each stays; none today.
KNOWN_FAILURES: Dict[str, str] = {}


def test_scipy_interpolation_tests_pass_against_voxwarpkit(tmp_path: Path) -> None:
    report = tmp_path / "report.xml"
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join([str(TESTS), os.environ.get("PYTHONPATH", "")]))
    run = subprocess.run(
        [
            sys.executable,
            "-m",
            "pytest",
            "--pyargs",
            "scipy.ndimage.tests.test_interpolation",
            "-p",
            "support.scipy_swap",
            "-p",
            "no:cacheprovider",
            f"--junitxml={report}",
            "-W",
            "ignore::pytest.PytestUnknownMarkWarning",
        ],
        cwd=tmp_path,
        env=environment,
        capture_output=True,
        text=True,
        timeout=900,
    )
    assert report.exists(), (run.stdout + run.stderr)[-4000:]
    suite = ElementTree.parse(report).getroot().find("testsuite")
    assert suite is not None, run.stdout + run.stderr
    failed = set()
    for case in suite.iter("testcase"):
        if case.find("failure") is not None or case.find("error") is not None:
            failed.add(f"{case.get('classname')}::{case.get('name')}")
    assert failed == set(KNOWN_FAILURES), run.stdout[-4000:]
    assert int(suite.get("tests", "0")) > 900, "scipy's file was not collected whole"
    assert "voxwarpkit.ndimage in scipy.ndimage's place" in run.stdout, run.stdout[-2000:]
