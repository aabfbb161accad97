"""The package's own facts and checks, over numpy alone: methods, requests, matrices, grids."""
