import _voxwarpkit_testing


def pytest_report_header(config):
    compiled = ", ".join(f"{name}{'' if usable else ' (not usable here)'}"
                         for name, usable in _voxwarpkit_testing.kernel_variants())
    return f"voxwarpkit kernel: {_voxwarpkit_testing.selected_kernel()} (compiled: {compiled})"
