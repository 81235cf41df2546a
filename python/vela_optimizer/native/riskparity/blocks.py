"""The blocks of the spread phase: instruments whose contributions are held tied, in order.

Near a minimiser of the pairwise spread the contributions fall into blocks of exactly equal
values; the spread phase keeps a list of blocks, each a list of instrument indices, in
increasing order of their common value. The list changes in four ways: blocks whose ordering
constraint is active cross or merge (:func:`crossed_or_merged`, :func:`merged`), a block whose
prices leave the permutohedron of its coefficients splits (:func:`split`), blocks not yet tied
dissolve into singletons (:func:`untie`); :func:`initial_blocks` makes the first list.
"""

from __future__ import annotations

import itertools

import numpy as np

# From this many instruments in binding groups (and at no bound) on, the spread phase starts them
# as one block per group rather than as singletons: a first QP of that many variables costs more
# than the rest of the phase (measured: 899 singletons at N = 2,000, 14 s of DAQP; grouped, the
# phase took 1.7 s to the same spread, to 1e-14). Below it the start is the singletons'.
GROUPED_START = 200


def initial_blocks(w: np.ndarray, limits, G: np.ndarray, glo: np.ndarray, ghi: np.ndarray) -> list:
    """Instruments touching no active bound or group limit form one block, the rest singletons
    (``G``, ``glo``, ``ghi``: the group rows of ``limits`` without the budget); with at least
    ``GROUPED_START`` members of active groups at no bound of their own, those form one block
    per set of active groups they belong to (near the answer each binding limit has one block; a
    block whose prices ask for it splits)."""
    at_bound = (np.abs(w - limits.lower) <= 1e-9) | (np.abs(w - limits.upper) <= 1e-9)
    Gw = G @ w
    active = (np.abs(Gw - glo) <= 1e-9) | (np.abs(Gw - ghi) <= 1e-9)
    member = G[active] != 0  # (active rows, n)
    in_group = member.any(axis=0) & ~at_bound
    touched = at_bound | in_group
    free = np.flatnonzero(~touched).tolist()
    blocks = [free] if free else []
    if np.count_nonzero(in_group) < GROUPED_START:
        return blocks + [[i] for i in np.flatnonzero(touched)]
    grouped = np.flatnonzero(in_group)
    _, label = np.unique(np.packbits(member[:, grouped], axis=0).T, axis=0, return_inverse=True)
    label = label.ravel()
    order = np.argsort(label, kind="stable")
    cuts = np.flatnonzero(np.diff(label[order])) + 1
    blocks += [b.tolist() for b in np.split(grouped[order], cuts)]
    return blocks + [[i] for i in np.flatnonzero(at_bound)]


def untie(blocks: list, rc: np.ndarray, tied: float) -> list:
    """Blocks whose contributions are not (yet) equal, to ``tied`` relative to their mean size,
    dissolved into singletons."""
    size = float(np.mean(np.abs(rc))) or 1.0
    out: list[list[int]] = []
    for b in blocks:
        if len(b) > 1 and np.ptp(rc[b]) > tied * size:
            out.extend([i] for i in b)
        else:
            out.append(b)
    return out


def loosen(blocks: list, rc: np.ndarray, tied: float) -> list:
    """:func:`untie`, except where that would make ``GROUPED_START`` or more new singletons: each
    block not yet tied is then cut in two at its median contribution. A QP of thousands of
    singletons costs minutes of DAQP (4,916 at the whole market with industries capped at 5 %);
    halving takes a few more QPs at most, each small."""
    untied = untie(blocks, rc, tied)
    if not _halving(untied, blocks):
        return untied
    size = float(np.mean(np.abs(rc))) or 1.0
    out = []
    for b in blocks:
        out.extend(_halves(b, rc) if len(b) > 1 and np.ptp(rc[b]) > tied * size else [b])
    return out


def loosen_halves(blocks: list, rc: np.ndarray, tied: float) -> bool:
    """Whether :func:`loosen` cuts the blocks not yet tied in two rather than dissolving them."""
    return _halving(untie(blocks, rc, tied), blocks)


def _halving(untied: list, blocks: list) -> bool:
    """Whether ``untied`` (:func:`untie` of ``blocks``) has GROUPED_START or more new singletons."""
    return len(untied) - len(blocks) >= GROUPED_START


def _halves(b: list, rc: np.ndarray) -> list:
    """Block ``b`` cut in two at its median contribution: the smaller contributions, then the larger."""
    order = np.asarray(b)[np.argsort(rc[b], kind="stable")]
    half = order.size // 2
    return [order[:half].tolist(), order[half:].tolist()]


def halved_when_nearly_tied(blocks: list, rc: np.ndarray, tied: float, nearly: float, least: int = 8) -> list:
    """Blocks of at least ``least`` members whose contributions are not tied to ``tied`` but are
    to ``nearly`` (relative to their mean size), each cut in two at its median contribution."""
    size = float(np.mean(np.abs(rc))) or 1.0
    out = []
    for b in blocks:
        spread = float(np.ptp(rc[b])) if len(b) >= least else 0.0
        out.extend(_halves(b, rc) if tied * size < spread <= nearly * size else [b])
    return out


def crossed_or_merged(blocks: list, touching: set, crossed: set, apart=()):
    """Blocks j and j + 1 whose ordering constraint is active (the model pushes j above j + 1),
    swapped in the order rather than joined, so that a block moving through a crowd of levels
    passes each in one step; a pair that meets again right after its crossing is tied, and is
    joined, as are runs of more than two blocks. At the tie the two orders give the same spread,
    so the model stays exact. ``apart`` lists pairs (a, b) tied across singletons whose ordering
    constraints were left out: they swap too, once. Returns the new list and the pairs just
    swapped."""
    swapped, join = set(), set()
    for j in sorted(touching):
        pair = frozenset((tuple(blocks[j]), tuple(blocks[j + 1])))
        if pair in crossed or j - 1 in touching or j + 1 in touching:
            join.add(j)
        else:
            swapped.add(j)
    out = list(blocks)
    new_crossed = set()
    for j in swapped:
        out[j], out[j + 1] = out[j + 1], out[j]
        new_crossed.add(frozenset((tuple(out[j]), tuple(out[j + 1]))))
    for a, b in apart:
        pair = frozenset((tuple(blocks[a]), tuple(blocks[b])))
        if (
            pair not in crossed
            and a not in swapped
            and a - 1 not in swapped
            and b not in swapped
            and b - 1 not in swapped
        ):
            out[a], out[b] = out[b], out[a]
            new_crossed.add(pair)
    return (merged(out, join) if join else out), new_crossed


def merged(blocks: list, touching: set) -> list:
    """Adjacent blocks whose ordering constraint j (between blocks j and j + 1) is active, joined."""
    # Runs of consecutive active constraints join; the blocks between runs stand as they are.
    joins = sorted(j for j in touching if 0 <= j < len(blocks) - 1)
    out, done, r = [], 0, 0
    while r < len(joins):
        start = end = joins[r]
        while r + 1 < len(joins) and joins[r + 1] == end + 1:
            r, end = r + 1, end + 1
        out.extend(blocks[done:start])
        out.append(list(itertools.chain.from_iterable(blocks[start : end + 2])))
        done, r = end + 2, r + 1
    out.extend(blocks[done:])
    return out


def split(blocks: list, coefficients: np.ndarray, z: np.ndarray):
    """Each block whose prices leave the permutohedron of its coefficients, split in two.

    The directional derivative of S for a tied block is the largest Σ c_(k)·δ_(k) over orderings;
    the block is optimal against splitting when, for the members sorted by price, every prefix
    sum of prices is at least the sum of as many smallest coefficients. Where a prefix falls
    short, moving those members down lowers S: the block splits there (at the largest shortfall).
    """
    sizes = np.fromiter(map(len, blocks), dtype=np.intp, count=len(blocks))
    multi = np.flatnonzero(sizes > 1)
    if not multi.size:
        return blocks, False
    flat = np.fromiter(itertools.chain.from_iterable(blocks), dtype=np.intp, count=int(sizes.sum()))
    starts = np.cumsum(sizes) - sizes  # the blocks' first positions in the list's order
    # One row per block of several members, padded to the largest: the prices sort and sum along
    # the rows as each block's own would (a stable sort, NaN padding after every price, even a NaN
    # one; sums from the left, the padding past each block's last sum), so the cuts are the same.
    size = sizes[multi]
    width = int(size.max())
    valid = np.arange(width) < size[:, None]
    pos = np.where(valid, starts[multi, None] + np.arange(width), 0)
    members = flat[pos]
    zb = np.where(valid, z[members], np.nan)
    o = np.argsort(zb, axis=1, kind="stable")
    cb = coefficients[pos]  # integers: their prefix sums are exact
    shortfall = (np.cumsum(cb, axis=1) - np.cumsum(np.sort(zb, axis=1, kind="stable"), axis=1))[:, :-1]
    shortfall[~valid[:, 1:]] = -np.inf  # past each block's last prefix
    cut = np.argmax(shortfall, axis=1)
    rows = np.arange(multi.size)
    # cb is increasing: its largest magnitude is at one end.
    scale = np.maximum(1.0, np.maximum(np.abs(cb[:, 0]), np.abs(cb[rows, size - 1])))
    cuts = np.flatnonzero(shortfall[rows, cut] > 1e-9 * scale)
    if not cuts.size:
        return blocks, False
    out = list(blocks)
    for r in cuts[::-1].tolist():  # from the end: a split shifts only the blocks after it
        j, c, b = int(multi[r]), int(cut[r]), members[r]
        order = o[r, : size[r]]
        out[j : j + 1] = [b[order[: c + 1]].tolist(), b[order[c + 1 :]].tolist()]
    return out, True
