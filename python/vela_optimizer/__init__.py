"""Portfolio weights for Chinese-mainland stocks and funds.

The system lives in the extension module ``vela_optimizer.optimizer``; import it explicitly.
"""
