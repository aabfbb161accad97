"""Running the command line in-process, checking its errors and reading what it wrote."""

import numpy as np

from voxwarpkit import cli


def run(capsys, *argv):
    """Run the command line in-process: (exit status, stdout, stderr)."""
    status = cli.main([str(arg) for arg in argv])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def assert_one_line_error(status, err, fragment, expected_status=1):
    """The command failed with ``expected_status`` and its last stderr line is an error naming
    ``fragment``; a failure of the command (status 1) writes that line alone, without a traceback."""
    assert status == expected_status
    lines = err.strip().splitlines()
    assert lines[-1].startswith("voxwarpkit: error: "), err
    assert fragment in lines[-1]
    if expected_status == 1:
        assert len(lines) == 1, err
    assert "Traceback" not in err


def read_output(path):
    """The written image and its data as native float32 (a big-endian input writes big-endian)."""
    import nibabel as nib  # here, so that a missing nibabel skips the test files that need it

    image = nib.load(path)
    assert image.get_data_dtype().newbyteorder("=") == np.float32
    return image, np.asanyarray(image.dataobj).astype(np.float32)
