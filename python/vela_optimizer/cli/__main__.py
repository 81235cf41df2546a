"""python -m vela_optimizer.cli: the vela-optimize command line."""

import sys

from vela_optimizer.cli import main

sys.exit(main())
