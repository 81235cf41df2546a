"""A-share market rules: boards, daily price limits, board lots and fees as dated data
(:mod:`.rules`), and what they mean for trading on a day (:mod:`.tradability`)."""
