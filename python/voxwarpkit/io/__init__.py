"""Image and matrix files in and out: NIfTI, Zarr, matrix text, registration transforms; errors are FileError."""
