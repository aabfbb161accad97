import pytest

# The shared helpers assert too: rewritten like the tests' own asserts, their failures show the values.
pytest.register_assert_rewrite("support")

try:
    import _voxwarpkit_testing
except ModuleNotFoundError as missing:
    if missing.name != "_voxwarpkit_testing":
        raise
    _voxwarpkit_testing = None

MISSING_TEST_MODULE = (
    "the suite needs voxwarpkit's test module _voxwarpkit_testing, which a plain install leaves out; "
    'install the package with it: pip install ".[test]" -Ccmake.define.VOXWARPKIT_TESTING=ON'
)


def pytest_configure(config):
    # Stops before collection, so that the test files' imports do not fail one by one.
    if _voxwarpkit_testing is None:
        pytest.exit(MISSING_TEST_MODULE, returncode=pytest.ExitCode.USAGE_ERROR)


def pytest_report_header(config):
    compiled = ", ".join(
        f"{name}{'' if usable else ' (not usable here)'}" for name, usable in _voxwarpkit_testing.kernel_variants()
    )
    return f"voxwarpkit kernel: {_voxwarpkit_testing.selected_kernel()} (compiled: {compiled})"
