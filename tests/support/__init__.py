"""Helpers the test files share: the numpy reference model, memory layouts, value makers,
geometry, file writers and the one bit-for-bit comparison.  Nothing here imports a test file."""
