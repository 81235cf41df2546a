"""Exceptions raised by ``vela_optimizer.optimizer``; each carries one message string."""


class InvalidArgument(Exception):
    """An argument, bound, rule or instrument list the caller can correct."""


class OptimizationFailed(Exception):
    """The minimizer did not reach an accepted answer, or the method is not recognised."""
