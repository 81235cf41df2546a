"""Exceptions raised by ``vela_optimizer.optimizer`` (type stub)."""

class InvalidArgument(Exception):
    """An argument, bound, rule or instrument list the caller can correct.

    The message is one line, prefixed "OPTIMIZER: " for the module's own checks, in Chinese.
    Errors of the market-data client (an unknown id, a date outside its calendar) are not
    turned into InvalidArgument: they arrive as the client's own exceptions.
    """

class OptimizationFailed(Exception):
    """The minimizer did not reach an accepted answer, or the method is not recognised."""
