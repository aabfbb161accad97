"""``python -m voxwarpkit``: the same command line as the ``voxwarpkit`` script."""

from .cli import main

raise SystemExit(main())
