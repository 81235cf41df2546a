"""python -m vela_optimizer.backtest: the vela-backtest command line."""

import sys

from vela_optimizer.backtest.cli import main

sys.exit(main())
