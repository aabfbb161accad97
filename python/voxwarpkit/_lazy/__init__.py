"""Resampling block by block on dask: windows of the input, graphs, staged passes, chunk caches."""
