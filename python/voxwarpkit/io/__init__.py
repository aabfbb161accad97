"""Image and matrix files in and out: NIfTI, Zarr, matrix text, registration transforms, BigStitcher
tile sets; errors are FileError."""
