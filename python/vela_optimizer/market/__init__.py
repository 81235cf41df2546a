"""What the A-share trading rules (dated data in :mod:`veladatac.rules`: boards, daily price limits,
board lots, fees) mean for trading on a day (:mod:`.tradability`)."""
