"""The Python examples of the README and of every docs page run as written, in order, and mean what the
text says."""

import pathlib
import re

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def python_blocks(page):
    return re.findall(r"```python\n(.*?)```", page.read_text(), re.S)


def scipy_and_nibabel_claims(names, folder):
    # The scipy example's claim: equal to float32 precision where the source lies inside.
    inside = names["expected"] != 0
    assert inside.mean() > 0.5
    np.testing.assert_allclose(names["result"][inside], names["expected"][inside], rtol=1e-5, atol=1e-5)
    # The nibabel example saves its result.
    assert (folder / "moved.nii.gz").exists()


# What the text around a page's examples claims beyond their own asserts, by page.
CLAIMS = {"neuroimaging.md": scipy_and_nibabel_claims}
PAGES_WITH_EXAMPLES = [page for page in PAGES if python_blocks(page)]


def test_pages_with_claims_hold_examples():
    assert {"README.md", *CLAIMS} <= {page.name for page in PAGES_WITH_EXAMPLES}


@pytest.mark.parametrize("page", PAGES_WITH_EXAMPLES, ids=lambda page: page.name)
def test_the_python_examples_run(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    names: dict = {}
    for block in python_blocks(page):
        exec(compile(block, str(page), "exec"), names)  # noqa: S102 - our own documentation
    CLAIMS.get(page.name, lambda names, folder: None)(names, tmp_path)
