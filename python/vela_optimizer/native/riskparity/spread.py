"""Phase 2 of risk parity under limits: the pairwise spread itself, minimised over blocks.

Near a minimiser of S(w) = Σ_{i<j} |RC_i − RC_j| the contributions fall into blocks of exactly
equal values (one block per binding limit, plus the main one). With the blocks B_1 < … < B_p
fixed, S is linear in the block values: S = Σ_b c_b·r_b with c_b the sum over the block's sorted
positions k of (2k − n − 1). Linearising RC around w_k (RC + J·d, J = diag(C·w) + diag(w)·C) and
writing the change of block b's common value as s_b, the step is d = J⁻¹·(v0 + B·s) (v0 levels
each block at its mean, B the block indicators), and the QP in s (p variables)

    min  cᵀs + ½ sᵀ·(Kᵀ·H·K)₊·s + τ‖d‖²     (K = J⁻¹·B)
    s.t. the limits on w_k + d,  block means stay ordered,

with H = diag(z)·C + C·diag(z) the curvature of Σ z_i·RC_i at the last prices z (clipped to
positive semi-definite), takes Newton-like steps: within a block structure the iterates converge
quadratically. A block whose members are still far from tied is levelled by a share α_b in [0, 1]
the QP chooses (its part of v0 a column of K of its own), which lowers S by α_b times the spread
within the block: a levelling the limits cannot take in full is taken in part (:func:`_partial`).
τ follows a trust-region rule on the ratio of actual to predicted decrease; a step is taken only
if it lowers S and keeps every limit. Two blocks whose ordering constraint is
active swap places in the order (at the tie both orders give the same S), so a block passes a crowd
of levels one per step; if they meet again right after, they are tied and merge (at first, the
levels of singletons held at a bound are not even stopped at: a block passes several in one step;
under caps on trades a free block passes as many pinned levels at once as its ordering multiplier
pays for, :meth:`SpreadState.far_crossings`). A block splits when its prices z (from the QP's
multipliers, z = −J⁻ᵀ·(gradient of the limits and the curvature)) leave the permutohedron of its
coefficients, i.e. when moving its cheapest members down lowers S (:mod:`.blocks`). Singletons held
at a bound are pinned: their weight stays (d_i = 0, a held row of J), so they are not variables of
the QP, and their contributions follow the others' moves; one whose bound's multiplier changes sign
is released (far fewer variables per QP where many instruments sit at a bound).

Every accepted iterate is feasible and S never increases, so the answer is never worse than
phase 1's. While the blocks keep changing, J's factors from up to ``Settings.reuse`` QPs back
serve the model as long as it predicts well (chord steps, the bulk of the cost saved at a
thousand instruments); settling steps refactor, so the last ones are Newton steps. J is factored
as diag(w)·(C + diag(C·w / w)), whose second factor is symmetric, and positive definite where the
contributions are positive: a Cholesky factor (:class:`.jacobian.Jacobian`).

:class:`SpreadState` carries what one QP hands to the next; :meth:`SpreadState.step` takes one QP.
"""

from __future__ import annotations

import itertools
import math
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from ...metrics import pairwise_spread
from ..settings import Stopped
from ..solution import MAX_ITERATION, NUMERICAL, SOLVED
from . import limits_qp
from .blocks import crossed_or_merged, halved_when_nearly_tied, initial_blocks, loosen, loosen_halves, split
from .jacobian import FactoredJacobian, Jacobian

# At most this many pinned levels passed at once beyond the one touched (:meth:`SpreadState.far_crossings`).
FAR_LEVELS = 16
# Blocks whose contributions spread by at most this (relative to their mean size) are tied but for
# rounding (:func:`.blocks.halved_when_nearly_tied`).
NEARLY_TIED = 1e-6
# The share of a free block's ordering multiplier that may pay for the further levels it passes.
FAR_SHARE = 0.5
# Under caps on trades, after this many accepted steps that saw every ordering row, the ordering rows
# of the levels held at a bound are left out again (the relaxed model, with the crowd's curvature):
# a free level walks through the crowd held at the holdings one level a QP otherwise, and the crowd
# is hundreds of levels at a thousand instruments. A rejected step, or a relaxed QP that fails, goes
# back to every row. Measured, the capped solves of 12 problems at 300 instruments (caps of 5, 10 and
# 20 %) took 1,793 QPs never relaxed again, and 1,809 / 1,630 / 1,612 relaxed again after 1 / 2 / 3
# steps; six at 1,000 took 23 s after 2 and 29 s after 3 (where four of them had taken 46 s).
RELAX_AGAIN = 2
# A relaxed model that overshoots again right after the strict steps doubles the strict steps asked
# for before the next try (up to RELAX_AGAIN_MOST); an accepted relaxed step brings them back to
# RELAX_AGAIN. Near the answer the free levels cross few pinned ones, and each failed try was a QP
# lost: measured on the market sample's rebalances (24 at 300 stocks, 24 at 1,000), 873 and 2,071
# QPs became 828 and 1,817, to the same spreads.
RELAX_AGAIN_MOST = 64
# Under caps on trades, while the ordering rows of the levels held at a bound are left out, the block
# QP sees the crowd of those levels around each free block as a curvature: S rises by 2·n_b at each
# level a block of n_b members passes, 2·n_b·ρ per unit of its change squared over ρ levels per
# unit of contribution, with ρ read from the CROWD_LEVELS nearest levels; CROWD_WEIGHT times that
# is added. Measured on 18 rebalances at 300 instruments (caps of 5-20 %), the capped solves took
# 1,076 QPs without it and 959 / 921 / 918 with weights 1 / 2 / 4 (6 at 1,000: 1,268 and 1,024 at
# weight 2), to the same spreads (within 1.3e-8 relative, some lower).
CROWD_LEVELS = 8
CROWD_WEIGHT = 2.0
# At most this many pinned instruments are released by one QP, those whose multipliers have the
# wrong sign by the most first; the others stay pinned and are judged again by the next QP. The
# prices of a step whose blocks are not yet tied can turn most pins' signs at once: at 2,482
# instruments under a turnover cap, 1,138 of 1,154 after the first step that followed six halvings
# of an untied block, and the next two QPs had 1,162 variables (25 s of DAQP) before the pins came
# back. Capped, that rebalance took 13 s instead of 38 s, to the same spread (to 1e-16).
RELEASE_AT_ONCE = 200
# A model that expects a rejected step to change S by at most this fraction of S sees rounding only:
# with the step within ``Settings.tol`` the iterate is stationary to working precision, whatever
# splits its prices would still ask for. Over the whole market (4,955 stocks, industries capped at
# 5 %) the spread had settled to 1e-15 when each further QP peeled one member off a block of 54,
# its step rejected at rounding level and τ growing fourfold each time, until the block QP failed
# at τ ~ 1e37 (the solve reported "numerical" after 175 QPs).
FLAT = 1e-12

_SINGULAR = "the Jacobian of the risk contributions is singular: stopped at a feasible portfolio"
_NO_QP = "the block QP failed even with a strong prox term: stopped at a feasible portfolio"


@dataclass
class _Layout:
    """The blocks of one step, in increasing order of their mean contribution."""

    rc: np.ndarray  # contributions at w
    p: int  # number of blocks
    label: np.ndarray  # block of each instrument
    means: np.ndarray  # each block's mean contribution
    level: np.ndarray  # v0: moves each block to its mean
    coef: np.ndarray  # each block's coefficient in S
    frozen: np.ndarray  # instruments whose row of J vanishes
    first: np.ndarray  # each block's first member
    at_floor: np.ndarray
    at_cap: np.ndarray
    at_bound: np.ndarray  # singleton blocks held at a bound
    pin: np.ndarray  # the blocks pinned (not variables of the QP)
    anchor: np.ndarray  # each block's member held at its holding that the others follow, or −1
    partial: np.ndarray  # the blocks the QP levels by a share of its choosing (:func:`_partial`)
    reach: np.ndarray  # for each of them the largest distance of a member's contribution to its level
    tie: float  # contributions this close are tied but for rounding
    nearly: float  # contributions this close are tied to within NEARLY_TIED


@dataclass
class _Model:
    """The QP of one step in the block changes s, and its answer (``out``: (s, multipliers) or None)."""

    out: Any  # (s, multipliers), or None when the QP failed
    K: np.ndarray  # J⁻¹·B over the free blocks
    d0: np.ndarray  # J⁻¹·v0
    T: np.ndarray  # every block's change is T·s + t0
    t0: np.ndarray
    pinned: np.ndarray  # the pinned instruments
    pinned_blocks: np.ndarray
    anchors: np.ndarray  # the anchors (held where they are, their blocks following them)
    anchor_blocks: np.ndarray
    curvature: Callable[[np.ndarray], np.ndarray] | None  # v -> H·v at the last prices
    pair_lo: np.ndarray  # the ordering rows: block pair_lo stays below block pair_hi
    pair_hi: np.ndarray
    free_rows: np.ndarray  # instruments whose bound rows are in the QP
    m: int  # group rows
    trade_rows: np.ndarray  # the caps' rows over the sides the QP was posed on, (k, n)


@dataclass
class SpreadState:
    """What one QP of the spread phase hands to the next."""

    w: np.ndarray
    Cw: np.ndarray
    f: float  # S(w)
    blocks: list
    released: np.ndarray  # at a bound whose bound stopped holding: not pinned
    # None until the first QP sets them; the step logic reads them only after that, which a
    # type checker cannot follow, hence Any.
    tau: Any = None  # prox weight
    tau_floor: Any = None
    # Under caps on trades τ's floor is Settings.trade_tau_floor while the blocks change, and
    # Settings.tau_floor once a step left them as they were (``settled``): a QP of the settled
    # structure has few variables, and at the higher floor its steps converged linearly (halving
    # the change of S each QP, 22 QPs at 1,000 stocks). Measured on the market sample's 24
    # rebalances at 1,000 stocks: 1,654 QPs against 1,796, to the same spreads.
    settled_floor: Any = None
    settled: bool = False  # the last step was accepted and changed no block
    prices: Any = None  # z of the last QP (np.ndarray)
    crossed: set = field(default_factory=set)  # pairs of blocks that crossed at the last step
    jac: Any = None  # J's factors (Jacobian), and the frozen rows and pins they were made for
    frozen_at: Any = None
    pinned_at: Any = None
    reuse: int = 0  # further QPs the factors may serve
    last_lam: tuple | None = None  # multipliers of the last block QP: bounds, group rows, budget
    unpinned: bool = False  # the last QP with pinned levels failed: the next pins none
    relaxed: bool = True  # the ordering rows of blocks held at a bound are left out
    relaxed_again: bool = False  # relaxed by RELAX_AGAIN (not the start's relaxed model)
    strict_steps: int = 0  # accepted steps since the model last left the relaxed one
    relax_after: int | None = None  # strict steps before the next relaxed try, RELAX_AGAIN when None
    flipped: bool = False  # the last step sent a weight at its holding to its other side
    freed: bool = False  # the last QP's multipliers released pins: the next QP's region is wider
    # Set while blocks moved past several pinned levels at once (:meth:`far_crossings`) await
    # the QP that judges it: (the list with single crossings, the prox weight before), restored
    # when that QP fails or its step is rejected.
    pending: tuple | None = None

    @classmethod
    def start(cls, sca, w: np.ndarray) -> SpreadState:
        """The state at phase 1's answer ``w``."""
        if sca.trades is not None:
            sca.trades.place(w)
        return cls(
            w=w,
            Cw=sca.C @ w,
            f=sca.spread(w),
            blocks=initial_blocks(w, sca.limits, sca.G, sca.glo, sca.ghi),
            released=np.zeros(sca.n, dtype=bool),
        )

    def step(self, sca, k: int):
        """Take QP number ``k``: None to go on, or (QPs used, status, message) when the phase ends."""
        lay = self.layout(sca)
        if not self.factor(sca, lay):
            return k, NUMERICAL, _SINGULAR
        try:
            model = self.block_qp(sca, lay, *self.directions(sca, lay))
        except Stopped as stop:
            if not (self.relaxed_again and stop.status == MAX_ITERATION):
                raise
            model = None
        pending, self.pending = self.pending, None
        if model is None or (self.relaxed_again and model.out is None):
            # The relaxed model asked too much (or DAQP could not settle it): every row again, on
            # the same blocks, rather than the failed QP's loosening of them.
            self.relaxed = self.relaxed_again = False
            if pending is not None:
                self.blocks, self.tau = pending
            return None
        if pending is not None and model.out is None:
            self.blocks, self.tau = pending  # the far crossings asked too much: one level each
            return None
        if model.out is None and (model.pinned.size or model.anchors.size):
            # Blocks not yet tied, levelled first, may break the limits: under caps on trades, where
            # most levels are pinned and a QP without pins has as many variables as instruments
            # (seconds each at a thousand), those blocks are loosened first, the pins kept.
            untied = self.blocks
            if sca.trades is not None:
                # Blocks tied but for rounding (a chord step's leftovers) fail as degenerate QPs,
                # DAQP finding no point in a region a few 1e-12 thick: halved, they lose the
                # degeneracy; dissolved, one QP has as many variables as they have members.
                untied = halved_when_nearly_tied(self.blocks, lay.rc, sca.settings.tied, NEARLY_TIED)
                if len(untied) == len(self.blocks):
                    untied = loosen(self.blocks, lay.rc, sca.settings.tied)
            if len(untied) != len(self.blocks):
                self.blocks = untied
                return None
            # Pinned levels may be unable to keep their order without leaving their bounds:
            # the same QP with every level free.
            self.unpinned = True
            return None
        self.unpinned = False
        if model.out is None:
            # Blocks not yet tied may ask for the impossible; otherwise the QP was too flat for the
            # active-set solver: retry with a stronger prox term. Under caps on trades a block
            # moving as one may be unable to keep its members on their sides of their holdings:
            # singletons always can (s = 0 is the current, feasible, portfolio).
            untied = loosen(self.blocks, lay.rc, sca.settings.tied)
            if sca.trades is not None and len(untied) == len(self.blocks) and len(untied) < sca.n:
                untied = [[i] for b in untied for i in b]
            if len(untied) == len(self.blocks):
                self.tau *= 4
                if self.tau > 1e12 * self.tau_floor:
                    return k + 1, NUMERICAL, _NO_QP
            self.blocks = untied
            return None
        taken = self.take(sca, lay, model)
        if pending is not None and (taken is None or not taken[0]):
            self.blocks, self.tau = pending
            return None
        if taken is None:
            return None
        return self.restructure(sca, lay, model, *taken, k)

    def layout(self, sca) -> _Layout:
        """Order the blocks by their mean contribution and read what the step needs of them."""
        n, w, Cw = sca.n, self.w, self.Cw
        anchorable = np.zeros(n, dtype=bool)
        if sca.trades is not None:
            held = sca.trades.at_h(w)
            if not self.unpinned:
                anchorable = held & ~self.released
            self.blocks = _apart(self.blocks, held, anchorable)
        blocks = self.blocks
        rc = w * Cw
        p = len(blocks)
        counts = np.fromiter(map(len, blocks), dtype=np.intp, count=p)
        flat = np.fromiter(itertools.chain.from_iterable(blocks), dtype=np.intp, count=n)
        label = np.empty(n, dtype=np.intp)
        label[flat] = np.repeat(np.arange(p), counts)
        first = flat[np.cumsum(counts) - counts]
        sizes = counts.astype(float)
        means = np.bincount(label, rc, p) / sizes
        # A block holding a weight at its holding follows that weight's contribution: its value is
        # the anchor's (the anchor's weight stays, its contribution moves with the others' weights).
        anchor = np.full(p, -1, dtype=np.intp)
        anchored = np.flatnonzero(anchorable & (counts[label] > 1))
        anchor[label[anchored]] = anchored
        means[label[anchored]] = rc[anchored]
        # Blocks in increasing order of their mean; where the list is in that order up to ties,
        # the list order stands (it carries the crossings asked for below).
        size = float(np.mean(np.abs(rc))) or 1.0
        tie, nearly = sca.settings.tied * size, NEARLY_TIED * size
        if self.pending is not None or np.all(np.diff(means) >= -tie):
            blocks = self.blocks = list(blocks)
        else:
            rank = np.argsort(means, kind="stable")
            blocks = self.blocks = [blocks[j] for j in rank.tolist()]
            means, sizes, anchor, first = means[rank], sizes[rank], anchor[rank], first[rank]
            label = np.argsort(rank)[label]
        level = means[label] - rc  # v0: moves each block to its mean
        starts = np.concatenate([[0], np.cumsum(sizes[:-1])]).astype(np.intp)
        coef = np.add.reduceat(sca.coefficients, starts)
        # An instrument at weight 0 whose (C·w)_i is 0 too has RC_i = 0 to first order whatever
        # the step: its row of J vanishes. It is held where it is (d_i = 0, so v_i = rc_i), which
        # keeps J invertible; S still never increases.
        row_size = np.abs(Cw) + w * sca.row_max  # bounds the largest entry of each row of J
        frozen = np.flatnonzero(row_size <= 1e-14 * float(np.max(row_size)))
        at_floor, at_cap = sca.at_bounds(w)
        at_bound = (sizes == 1) & (at_floor | at_cap)[first]
        # Singletons held at a bound are pinned there (d_i = 0): not variables of the QP, their
        # contributions follow the others' moves (RC_i + w_i·(C·d)_i). A pinned instrument whose
        # bound stops holding (its multiplier, in take(), changes sign) is released.
        pin = at_bound & ~self.released[first] if not self.unpinned else np.zeros(p, dtype=bool)
        if pin.all():
            pin[:] = False
        partial, reach = _partial(label, level, sizes, pin, nearly)
        # An anchored block not yet tied is levelled by a share only where loosening would halve
        # the blocks (hundreds of members not yet tied). With fewer, a block QP of singletons is
        # cheap, and the one that follows an anchored levelling the limits cannot take (a QP with
        # no feasible point, then every block not yet tied dissolved) moves each weight to its
        # place at once, where a share moves the block as one: on rebalances of 100 and 150
        # instruments (seeds 1-8) the capped solves took 402 QPs so and 480 with every anchored
        # block shared.
        if partial.size and (anchor[partial] >= 0).any() and not loosen_halves(blocks, rc, sca.settings.tied):
            full = anchor[partial] < 0
            partial, reach = partial[full], reach[full]
        return _Layout(
            rc,
            p,
            label,
            means,
            level,
            coef,
            frozen,
            first,
            at_floor,
            at_cap,
            at_bound,
            pin,
            anchor,
            partial,
            reach,
            tie,
            nearly,
        )

    def factor(self, sca, lay: _Layout) -> bool:
        """J's factors for this step, reused or made anew (``lay.pin`` narrowed to the pins they
        hold); False when J is singular (no Newton model here)."""
        n, pin, first = sca.n, lay.pin, lay.first
        anchors = lay.anchor[lay.anchor >= 0]
        jac = self.jac
        # The pins are part of J's factors: while those are reused, only instruments pinned when
        # they were made stay pinned, and those of them that no longer can be are released from
        # the factors (a correction of low rank, not new factors).
        stale = jac is None or self.reuse <= 0 or not np.array_equal(lay.frozen, self.frozen_at)
        if not stale:
            in_factors = self.pinned_at.copy()  # pinned in the factors, and not released from them since
            in_factors[jac.released] = False
            pinnable = np.zeros(n, dtype=bool)
            pinnable[first[pin]] = True
            pinnable[anchors] = True
            gone = np.flatnonzero(in_factors & ~pinnable)
            # An anchor must be held in the factors: one that is not asks for new factors.
            if not in_factors[anchors].all() or (gone.size and not jac.release(gone)):
                stale = True
            else:
                pin &= in_factors[first]
        if stale:
            self.pinned_at = np.zeros(n, dtype=bool)
            self.pinned_at[first[pin]] = True
            self.pinned_at[anchors] = True
            held = self.pinned_at.copy()
            held[lay.frozen] = True
            self.jac = (FactoredJacobian if sca.factored else Jacobian)(sca.C, self.w, self.Cw, held)
            if self.jac.singular:
                return False
            self.frozen_at, self.reuse = lay.frozen, sca.settings.reuse
        else:
            self.reuse -= 1
        return True

    def directions(self, sca, lay: _Layout):
        """The step's directions d = d0 + K·s and every block's change T·s + t0, with C·K and C·d0."""
        n, p, w = sca.n, lay.p, self.w
        pin, label = lay.pin, lay.label
        pinned_blocks = np.flatnonzero(pin)
        pinned = lay.first[pinned_blocks]
        free_blocks = np.flatnonzero(~pin)
        pf = free_blocks.size
        column = np.full(p, -1, dtype=np.intp)
        column[free_blocks] = np.arange(pf)
        partial = lay.partial
        na = partial.size
        rhs = np.zeros((n, pf + 1 + na))
        is_member = column[label] >= 0
        is_member[lay.anchor[lay.anchor >= 0]] = False  # an anchor's row is held: d_i = 0
        members = np.flatnonzero(is_member)
        rhs[members, column[label[members]]] = 1.0
        rhs[:, pf] = lay.level
        if na:
            # A block not yet tied is levelled by a share α_b in [0, 1] the QP chooses: its own
            # column J⁻¹·(v0 on its members), in place of a full levelling fixed in d0.
            share = np.full(p, -1, dtype=np.intp)
            share[partial] = np.arange(na)
            inside = np.flatnonzero(share[label] >= 0)
            # In units of contribution, as the block changes s are (DAQP's tolerances are absolute):
            # the share α_b is a_b / reach_b, a_b in [0, reach_b].
            rhs[inside, pf + 1 + share[label[inside]]] = lay.level[inside] / lay.reach[share[label[inside]]]
            rhs[inside, pf] = 0.0
        solved, C_solved = self.jac.solve(rhs)
        if na:
            # The fixed column last. It is solved in its place beside the block columns: the
            # Jacobian's solves round by column position, and the path of the spread phase moves
            # with rounding.
            order = np.r_[0:pf, pf + 1 : pf + 1 + na, pf]
            solved, C_solved = solved[:, order], C_solved[:, order]
        K, d0 = solved[:, : pf + na], solved[:, pf + na]
        CK, Cd0 = C_solved[:, : pf + na], C_solved[:, pf + na]
        # Every block's change as T·x + t0 (x: the block changes s, then the shares α): the
        # variables' own, and w_i·(C·d)_i for the pinned.
        T = np.zeros((p, pf + na))
        T[free_blocks, np.arange(pf)] = 1.0
        T[pinned_blocks] = w[pinned, None] * CK[pinned]
        t0 = np.zeros(p)
        t0[pinned_blocks] = w[pinned] * Cd0[pinned]
        return K, d0, CK, Cd0, T, t0, pinned, pinned_blocks

    def block_qp(self, sca, lay: _Layout, K, d0, CK, Cd0, T, t0, pinned, pinned_blocks) -> _Model:
        """The QP in the block changes s, solved by DAQP warm-started from the last block QP."""
        n, L, G = sca.n, sca.limits, sca.G
        m, p = G.shape[0], lay.p
        H, lin, curvature = self.objective(sca, lay, K, d0, CK, Cd0, T)
        # At first a block may pass the singletons held at a bound (capped or at zero weight)
        # without stopping at each: their ordering constraints are left out, the ones between
        # the other blocks kept. The model's S is then too low past such a level, so the first
        # rejected step, or the first step that changes no block, ends this (far fewer QPs where
        # a crowd of capped levels lies in the way).
        kept = np.flatnonzero(~lay.at_bound) if self.relaxed else np.arange(p)
        pair_lo, pair_hi = kept[:-1], kept[1:]
        if sca.trades is not None and not self.relaxed:
            # Under caps on trades most levels are pinned at the holdings, crowded together: two
            # adjacent pinned levels move only through the other weights, and a swap between them
            # changes S by twice their small crossing, which the step's test of the actual spread
            # judges. Their rows were most of a block QP's rows, each costing every active-set
            # iteration a product.
            both = lay.pin[pair_lo] & lay.pin[pair_hi]
            pair_lo, pair_hi = pair_lo[~both], pair_hi[~both]
        q = pair_lo.shape[0]
        base = self.w + d0
        # Each anchored block's change is its anchor's: s_b = w_a·(C·d)_a, a row of the QP in s.
        anchor_blocks = np.flatnonzero(lay.anchor >= 0)
        anchors = lay.anchor[anchor_blocks]
        a = anchors.size
        anchor_rows = -self.w[anchors, None] * CK[anchors]
        anchor_rows[np.arange(a), (np.cumsum(~lay.pin) - 1)[anchor_blocks]] += 1.0
        anchor_rhs = self.w[anchors] * Cd0[anchors]
        is_free = np.ones(n, dtype=bool)
        is_free[pinned] = False
        is_free[anchors] = False
        free_rows = np.flatnonzero(is_free)
        nb = free_rows.size
        means = lay.means
        lower_w, upper_w = L.lower, L.upper
        trade_rows, trade_caps = np.zeros((0, n)), np.zeros(0)
        if sca.trades is not None:
            # Caps on what is bought and sold: every weight kept to its side of its holding, the
            # caps rows over the sides (w + d0 + K·s moves the pinned weights by 0).
            lower_w, upper_w = sca.trades.bounds()
            trade_rows, trade_caps = sca.trades.rows()  # the sides stay until take() has read them
        k = trade_caps.size
        # Ordering rows: (level lo) − (level hi) ≤ their current gap, each level T·s + t0.
        na = lay.partial.size  # the shares' rows: 0 <= α_b <= 1, i.e. 0 <= a_b <= reach_b
        rows = np.vstack(
            [
                K[free_rows],
                G @ K,
                T[pair_lo] - T[pair_hi],
                anchor_rows,
                np.eye(na, K.shape[1], K.shape[1] - na),
                trade_rows @ K,
                K.sum(axis=0, keepdims=True),
            ]
        )
        upper = np.concatenate(
            [
                upper_w[free_rows] - base[free_rows],
                sca.ghi - G @ base,
                means[pair_hi] - means[pair_lo] - (t0[pair_lo] - t0[pair_hi]),
                anchor_rhs,
                lay.reach,
                trade_caps - trade_rows @ base,
                [1.0 - base.sum()],
            ]
        )
        lower = np.concatenate(
            [
                lower_w[free_rows] - base[free_rows],
                sca.glo - G @ base,
                np.full(q, -np.inf),
                anchor_rhs,
                np.zeros(na),
                np.full(k, -np.inf),
                [1.0 - base.sum()],
            ]
        )
        is_frozen = np.zeros(n, dtype=bool)
        is_frozen[lay.frozen] = True
        fixed = np.flatnonzero(is_frozen[free_rows])
        upper[fixed] = lower[fixed] = -d0[free_rows[fixed]]
        # The bound and group rows are the same rows from one QP to the next: their last
        # multipliers are the likely active set (the ordering rows change with the blocks).
        duals = None
        if self.last_lam is not None:
            duals = np.zeros(len(upper))
            duals[:nb] = self.last_lam[0][free_rows]
            duals[nb : nb + m] = self.last_lam[1]
            duals[len(upper) - 1 - k : -1] = self.last_lam[3]
            duals[-1] = self.last_lam[2]
        out = limits_qp.daqp_solve(
            H,
            lin,
            rows,
            upper,
            lower,
            np.concatenate([fixed, nb + m + q + np.arange(a), [len(upper) - 1]]).astype(np.intp),
            primal_tol=sca.settings.feasibility_tol,
            duals=duals,
            iter_limit=sca.settings.max_iteration,
        )
        return _Model(
            out,
            K,
            d0,
            T,
            t0,
            pinned,
            pinned_blocks,
            anchors,
            anchor_blocks,
            curvature,
            pair_lo,
            pair_hi,
            free_rows,
            m,
            trade_rows,
        )

    def objective(self, sca, lay: _Layout, K, d0, CK, Cd0, T):
        """The block QP's objective in s, (H, lin), and v -> H·v in the weights at the last prices
        (None before the first QP): cᵀs plus the prox term and the curvature, clipped to positive
        semi-definite."""
        C, coef = sca.C, lay.coef
        if self.tau is None:
            self.tau = float(np.linalg.norm(coef)) / math.sqrt(lay.p) or 1.0
            floor = sca.settings.tau_floor if sca.trades is None else sca.settings.trade_tau_floor
            self.tau_floor = floor * self.tau
            self.settled_floor = sca.settings.tau_floor * self.tau
        tau = self.tau
        H = 2 * tau * (K.T @ K)
        lin = T.T @ coef + 2 * tau * (K.T @ d0)
        partial = lay.partial
        if partial.size:
            # Levelling a share α_b of a block lowers the spread within it, Σ_k (2k − n_b − 1)·rc_(k)
            # over its sorted members, by that share (its order within stays, its mean does not move).
            lin[-partial.size :] -= _within(lay, partial) / lay.reach
            anchored = lay.anchor[partial] >= 0
            if anchored.any():
                # An anchored block is levelled to its anchor's contribution, not its mean: its
                # mean moves by α_b·(anchor − mean) as well, at its coefficient's price.
                b = partial[anchored]
                mean = np.bincount(lay.label, lay.rc, lay.p)[b] / np.bincount(lay.label, minlength=lay.p)[b]
                lin[-partial.size :][anchored] -= lay.coef[b] * (mean - lay.means[b]) / lay.reach[anchored]
        # ∇² Σ z_i·RC_i = diag(z)·C + C·diag(z), applied without forming it; in the block
        # space Kᵀ·(diag(z)·C + C·diag(z))·K = (z∘K)ᵀ(C·K) + its transpose: one product with C.
        curvature = None if self.prices is None else (lambda v, z=self.prices: z * (C @ v) + C @ (z * v))
        if curvature is not None:
            z = self.prices
            zK = z[:, None] * K
            M = zK.T @ CK
            ev, V = np.linalg.eigh(M + M.T)
            H = H + (V * np.maximum(ev, 0.0)) @ V.T
            lin = lin + zK.T @ Cd0 + CK.T @ (z * d0)
        if sca.trades is not None and self.relaxed:
            # The levels held at a bound whose ordering rows are left out (most, under caps) as the
            # curvature of the crowd each free block would pass: without it the linear model
            # passes any number of them at no cost, overshoots, and its first rejected step ends
            # the relaxed start (the free blocks then pass the crowd a level or two a QP).
            H = H + np.diag(np.concatenate([_crowd(lay, lay.tie, lay.nearly), np.zeros(lay.partial.size)]))
        return H, lin, curvature

    def take(self, sca, lay: _Layout, model: _Model) -> tuple[bool, np.ndarray, np.ndarray, bool] | None:
        """Judge the QP's step: the prices z, pins released, the step accepted or not and τ.
        Returns (accepted, d, ordering multipliers, flat: see :meth:`restructure`), or None when the
        next QP follows at once."""
        n, C, G, w, Cw = sca.n, sca.C, sca.G, self.w, self.Cw
        p, m, pinned = lay.p, model.m, model.pinned
        nb, q, a = model.free_rows.size, model.pair_lo.shape[0], model.anchors.size
        s, lam = model.out
        lam_bounds = np.zeros(n)
        lam_bounds[model.free_rows] = lam[:nb]
        lam_groups, lam_order = lam[nb : nb + m], lam[nb + m : nb + m + q]
        lam_caps = lam[nb + m + q + a + lay.partial.size : -1]  # the caps on what is bought and sold
        self.last_lam = (lam_bounds, lam_groups, lam[-1], lam_caps)
        s_all = model.T @ s + model.t0
        d = model.d0 + model.K @ s
        trial = w + d if sca.trades is None else sca.trades.snapped(w + d, sca.limits)
        C_trial = C @ trial
        f_trial = pairwise_spread(trial * C_trial)
        # The model's contributions rc + J·d are the block values moved by s (J·d = v0 + B·s).
        values = (lay.means + s_all)[lay.label]
        if lay.partial.size:
            # Blocks levelled by a share α_b keep (1 − α_b) of their members' distances to the mean.
            kept = np.zeros(lay.p)
            kept[lay.partial] = 1.0 - s[-lay.partial.size :] / lay.reach
            values = values - kept[lay.label] * lay.level
        predicted = self.f - pairwise_spread(values)
        if model.curvature is not None:
            Hd = model.curvature(d)
            predicted -= 0.5 * float(d @ Hd)
        rho = (self.f - f_trial) / predicted if predicted > 0 else -1.0
        # The prices are the multipliers of the limits and the curvature at the step's end, without
        # the prox term's pull 2τ·d: that term only damps the step (it vanishes at the answer), and
        # while τ is large it dominated the prices. Over the whole market (4,955 stocks, industries
        # capped at 5 %) the first steps' prices were then mostly prox, the curvature they make
        # predicted rises, every step was rejected, and the blocks were halved QP after QP to
        # thousands of singletons (minutes of DAQP); without it the whole optimize() took 6 s (84 QPs).
        grad = lam_bounds + G.T @ lam_groups + lam[-1]
        if lam_caps.size:
            grad = grad + model.trade_rows.T @ lam_caps
        if model.curvature is not None:
            grad = grad + Hd
        level_price = lay.coef + np.bincount(model.pair_lo, lam_order, p) - np.bincount(model.pair_hi, lam_order, p)
        held = np.concatenate([pinned, model.anchors])
        # C's columns at the held instruments, the pinned then the anchors: one gather for the
        # prices and the held multipliers (the factored form makes its columns where asked).
        C_held = None if sca.factored or not held.size else C[held].T  # rows: the cheaper gather, C symmetric
        z = self.prices = self._prices(sca, lay, model, grad, level_price, held, C_held)
        self.freed = False
        lam_sides = lam_bounds
        if held.size:
            # The multiplier of d_i = 0 for a held instrument, signed as a bound's (> 0 where
            # it presses up against a cap, < 0 down against a floor): the wrong sign releases it.
            if C_held is None:
                C_held = C.columns(held)
            hold = -grad[held] - Cw[held] * z[held] - C_held.T @ (w * z)
            slack = 1e-9 * max(1.0, float(np.max(np.abs(lay.coef))))
            cap, floor = lay.at_cap[held], lay.at_floor[held]
            loose = np.flatnonzero((cap & ~floor & (hold < -slack)) | (floor & ~cap & (hold > slack)))
            if loose.size > RELEASE_AT_ONCE:
                loose = loose[np.argsort(-np.abs(hold[loose]), kind="stable")[:RELEASE_AT_ONCE]]
            self.released[held[loose]] = True
            self.freed = bool(loose.size)
            if sca.trades is not None:
                # A weight held at its holding is at its side's bound: its multiplier there
                # decides, as a free weight's does, whether it goes on to the other side.
                lam_sides = lam_bounds.copy()
                lam_sides[held] = hold
        accepted = f_trial < self.f and rho > 0.1 and sca.feasible(trial)
        if rho < 0.75:
            self.reuse = 0
        self.flipped = False
        if accepted:
            if sca.trades is not None:
                # Weights the step stopped at their holdings go on to the side their multipliers ask.
                side = sca.trades.side.copy()
                self.flipped = sca.trades.flip(trial, lam_sides, lam_caps)
                # One sent to the other side is free there at once (not pinned at the holding
                # again only to be released by the next QP's multiplier).
                moved = sca.trades.side != side
                self.released |= moved
                sca.trades.place(trial)
            self.w, self.f, self.Cw = trial, f_trial, C_trial
            if self.relaxed_again:
                self.relax_after = None
            if sca.trades is not None and not self.relaxed:
                self.strict_steps += 1
                if self.strict_steps >= (self.relax_after or RELAX_AGAIN):
                    self.relaxed = self.relaxed_again = True
                    self.strict_steps = 0
            # A released instrument that has left its bound may be pinned again when it returns.
            self.released &= np.logical_or(*sca.at_bounds(self.w))
            if sca.trades is not None:
                # So may one the QP held at its holding, its side's bound, with a multiplier of the
                # right sign: released weights at their holdings would otherwise pile up as
                # variables of every later QP (most weights sit there when the caps bind).
                side, slack = sca.trades.side, 1e-9 * max(1.0, float(np.max(np.abs(lay.coef))))
                held = ((side > 0) & (lam_bounds < -slack)) | ((side < 0) & (lam_bounds > slack))
                self.released &= ~(held & ~moved & sca.trades.at_h(self.w))
            tau = self.tau
            floor = self.settled_floor if self.settled else self.tau_floor
            self.tau = max(tau / 4, floor) if rho > 0.75 else (tau * 4 if rho < 0.25 else tau)
        elif self.relaxed:
            if self.relaxed_again:
                self.relax_after = min(2 * (self.relax_after or RELAX_AGAIN), RELAX_AGAIN_MOST)
            self.relaxed = self.relaxed_again = False  # the model overshot past levels it did not see: see them all
            return None
        else:
            self.tau *= 4
            if predicted <= 0:
                untied = loosen(self.blocks, lay.rc, sca.settings.tied)
                if len(untied) != len(self.blocks):
                    self.blocks = untied
                    return None
        flat = not accepted and abs(predicted) <= FLAT * abs(self.f)
        return accepted, d, lam_order, flat

    def _prices(self, sca, lay: _Layout, model: _Model, grad, level_price, held, C_held=None) -> np.ndarray:
        """Prices z: the multipliers of the contributions in the linearised model, from the
        gradient ``grad`` of the curvature and limits' terms and each block's price
        ``level_price`` (coefficient and ordering multipliers).

        A pinned instrument's price is its block's; the instruments not ``held`` solve
        Jᵀ·z = −grad over their columns (a held column has a multiplier of its own, d_i = 0). An
        anchor's price ζ is unknown: z = z₀ + Y·ζ, linear in the anchors', and each anchored
        block's prices sum to its block's price (a system in ζ of one row per anchor). ``C_held``:
        C's columns at ``held`` (the pinned, then the anchors), or None to gather them here.
        """
        C, w, pinned, anchors = sca.C, self.w, model.pinned, model.anchors
        z_pinned = level_price[model.pinned_blocks]
        r = -grad
        if pinned.size:
            if C_held is not None:
                C_pinned = C_held[:, : pinned.size]
            else:
                C_pinned = C.columns(pinned) if sca.factored else C[:, pinned]
            r = r - C_pinned @ (w[pinned] * z_pinned)
        r[held] = 0.0
        z = self.jac.solve_transposed(r)
        a = anchors.size
        if a:
            if C_held is not None:
                C_anchors = C_held[:, pinned.size :]
            else:
                C_anchors = C.columns(anchors) if sca.factored else C[:, anchors]
            V = -C_anchors * w[anchors]
            V[held] = 0.0
            Y = self.jac.solve_transposed(V).reshape(sca.n, a)
            which = np.full(lay.p, -1, dtype=np.intp)
            which[model.anchor_blocks] = np.arange(a)
            block_of = which[lay.label]
            in_other = block_of >= 0
            in_other[anchors] = False
            others = np.flatnonzero(in_other)
            M = np.eye(a)
            np.add.at(M, block_of[others], Y[others])
            zeta = np.linalg.solve(M, level_price[model.anchor_blocks] - np.bincount(block_of[others], z[others], a))
            z = z + Y @ zeta
            z[anchors] = zeta
        z[pinned] = z_pinned
        return z

    def restructure(
        self, sca, lay: _Layout, model: _Model, accepted: bool, d: np.ndarray, lam_order, flat: bool, k: int
    ):
        """Blocks cross, merge or split after the step; (QPs used, "solved", "") once the steps
        have settled, else None. ``flat``: the step was rejected and its model expected no change
        beyond rounding (:data:`FLAT`)."""
        changed = self.flipped  # the next QP's region differs
        # A rejected step whose model expected nothing (``flat``) may have been held at 0 by blocks
        # pressing on each other: their crossings are taken as after an accepted step (at the tie
        # both orders give the same S), where stopping would report a point that is not stationary.
        if (accepted or flat) and lay.p > 1:
            pair_lo, pair_hi = model.pair_lo, model.pair_hi
            active = lam_order > 0
            lo, hi = pair_lo[active], pair_hi[active]
            adjacent = hi == lo + 1
            touching = set(lo[adjacent].tolist())
            apart = list(zip(lo[~adjacent].tolist(), hi[~adjacent].tolist()))
            if touching or apart:
                far = self.far_crossings(sca, lay, model, lam_order, touching) if accepted else []
                self.blocks, self.crossed = crossed_or_merged(self.blocks, touching, self.crossed, apart)
                if far:
                    self.moved_further(far)
                changed = True
            elif accepted:
                self.crossed = set()
        if self.relaxed and not changed:
            self.relaxed = self.relaxed_again = False  # settling: every ordering constraint from here
        step = float(np.max(np.abs(d)))
        if step <= sca.settings.tol and lay.partial.size and not changed:
            # Blocks not yet tied, each moving as one, can hold the step at 0 where their members
            # moving apart would not (a member at its holding cannot follow the block to the other
            # side): no answer yet. Loosened, the next QP sees them.
            untied = loosen(self.blocks, self.w * self.Cw, sca.settings.tied)
            if len(untied) != len(self.blocks):
                self.blocks = untied
                return None
        if flat and step <= sca.settings.tol and not changed and not self.freed:
            return k + 1, SOLVED, ""
        # Splits are tested after every QP, not only once the steps have settled: a split the
        # prices get wrong merges back, and waiting costs a QP per round.
        self.blocks, was_split = split(self.blocks, sca.coefficients, self.prices)
        changed = changed or was_split
        self.settled = accepted and not changed
        if not changed or step * sca.n <= sca.settings.chord_step:
            self.reuse = 0  # settling: the exact Jacobian gives the quadratic convergence
        if step <= sca.settings.tol and not changed and not self.freed:
            return k + 1, SOLVED, ""
        return None

    def far_crossings(self, sca, lay: _Layout, model: _Model, lam_order, touching: set) -> list:
        """Free blocks that will pass more pinned levels than the one they touch: (block, the
        level touched, the levels after it, direction) per block, the list in this step's order.

        A free block pressing on a pinned level (ordering multiplier λ) crosses it in the next
        QP's order, and then presses on the next level with λ less twice the product of their
        sizes (its coefficient in S moves by that much per level passed): under caps on trades a
        free weight walks through a crowd of levels held at their holdings, one QP each. Levels
        are passed at once while half of λ still pays for them and they lie within the distance
        the block just moved; the next QP's ordering rows then carry it past them (a row with a
        negative gap), its model exact over that order, and the step's test of the actual spread
        judges it (:attr:`pending`).
        """
        if sca.trades is None or self.relaxed:
            return []
        s = model.out[0]
        moved_a = model.T @ s + model.t0
        # Python floats and lists: the loops below read single entries, where an array's cost more.
        moved, new = moved_a.tolist(), (lay.means + moved_a).tolist()
        pin, anchor, p = lay.pin.tolist(), lay.anchor.tolist(), lay.p
        sizes = [float(len(b)) for b in self.blocks]
        pair_lo, pair_hi, lam = model.pair_lo.tolist(), model.pair_hi.tolist(), lam_order.tolist()
        busy = set(touching) | {j + 1 for j in touching}
        plans = []
        for r in np.flatnonzero(lam_order > 0).tolist():
            j = pair_lo[r]
            if pair_hi[r] != j + 1 or pin[j] == pin[j + 1] or j - 1 in touching or j + 1 in touching:
                continue
            b, level, way = (j, j + 1, 1) if pin[j + 1] else (j + 1, j, -1)
            if anchor[b] >= 0:
                continue
            budget = FAR_SHARE * lam[r] - 2.0 * sizes[b] * sizes[level]
            reach = abs(moved[b])
            passed: list[int] = []
            i = level + way
            while 0 <= i < p and pin[i] and i not in busy and len(passed) < FAR_LEVELS:
                cost = 2.0 * sizes[b] * sizes[i]
                if cost > budget or abs(new[i] - new[b]) > reach:
                    break
                budget -= cost
                passed.append(i)
                i += way
            if passed:
                busy.update(passed)
                plans.append((self.blocks[b], self.blocks[level], [self.blocks[i] for i in passed], way))
        return plans

    def moved_further(self, plans: list) -> None:
        """Each planned block, one level past the level it touched after the single crossings,
        moved on past the further levels (:meth:`far_crossings`); blocks are matched by their
        members (a merge elsewhere rebuilds the lists)."""
        single = list(self.blocks)  # the blocks themselves are never changed in place, only the list
        out = self.blocks
        where = {b[0]: i for i, b in enumerate(out)}
        moved = False
        for block, level, passed, way in plans:
            at = where.get(block[0], -1)
            if at < 0 or out[at] != block or not (0 <= at - way < len(out)) or out[at - way] != level:
                continue
            ahead = [out[at + way * t] for t in range(1, len(passed) + 1) if 0 <= at + way * t < len(out)]
            if ahead != passed:
                continue
            if way > 0:
                out[at : at + len(passed) + 1] = passed + [block]
            else:
                out[at - len(passed) : at + 1] = [block] + passed
            for i in range(min(at, at + way * len(passed)), max(at, at + way * len(passed)) + 1):
                where[out[i][0]] = i
            self.crossed.add(frozenset((tuple(passed[-1]), tuple(block))))
            moved = True
        if moved:
            self.pending = (single, self.tau)


def _crowd(lay: _Layout, tie: float = 0.0, nearly: float = 0.0) -> np.ndarray:
    """Per free block (the QP's variables, in order), the curvature of the spread in its change
    from the pinned levels around it: CROWD_WEIGHT · 2·n_b·ρ_b, ρ_b = k / (2·r_b) levels per unit
    of contribution, r_b the distance to the k-th nearest pinned level (k = CROWD_LEVELS; 0 where
    fewer levels are pinned, or k of them lie within ``tie`` of the block: tied but for rounding,
    they would make a curvature of 1e20 and more, past what DAQP can factor next to the rest of
    the QP; over the whole market a free weight at 0 sits among hundreds of levels at 0).

    Levels nearer than ``nearly`` count as that far: k levels a hair beyond the tie are one place
    to the model, not a density of 1e15 a unit. Over 2,488 stocks (industries capped at 6 %,
    turnover at 20 %) four such curvatures, 1e12 to 1e15 beside a median of 1e5, made DAQP read a
    block QP's matrix as singular, and its proximal iterations had not returned after 10 minutes
    (past its iteration limit); with the floor that rebalance takes about 65 s, and the others
    measured reach the spreads they reached without it."""
    free = np.flatnonzero(~lay.pin)
    levels = np.sort(lay.means[lay.pin])
    k = CROWD_LEVELS
    if levels.size < k:
        return np.zeros(free.size)
    v = lay.means[free]
    # The k nearest levels are among the k below v and the k above it.
    idx = np.searchsorted(levels, v)[:, None] + np.arange(-k, k)
    inside = (idx >= 0) & (idx < levels.size)
    dist = np.where(inside, np.abs(levels[np.clip(idx, 0, levels.size - 1)] - v[:, None]), np.inf)
    reach = np.partition(dist, k - 1, axis=1)[:, k - 1]
    members = np.bincount(lay.label, minlength=lay.p)[free]
    density = np.divide(k, 2.0 * np.maximum(reach, nearly), out=np.zeros(free.size), where=reach > tie)
    return CROWD_WEIGHT * 2.0 * members * density


def _partial(label, level, sizes, pin, nearly: float) -> tuple[np.ndarray, np.ndarray]:
    """The blocks the next QP levels by a share α_b in [0, 1] of its choosing, and their reach:
    free blocks of several members (``sizes``, in the blocks' order) whose contributions lie
    further apart than ``nearly`` (NEARLY_TIED relative to the mean contribution; the others are
    levelled in full, a fixed part of the step). An anchored block is levelled toward its
    anchor's contribution (``level`` is the distance to it); :meth:`SpreadState.layout` levels it
    in full instead where loosening would not halve the blocks (:func:`.blocks.loosen_halves`).

    Levelled in full, a block far from tied may move the contributions held at a bound by more
    than it gains, or take its members past their bounds: the model then rejects the step, the
    blocks are halved QP after QP, down to singletons. Over 1,991 stocks with every industry
    capped at 4 %, that made block QPs of about 1,000 variables (a second of DAQP each, 64 s in
    all); with shares no QP had more than 72 variables and the spread was 12 % lower (6 s). So
    with an anchored block under caps on trades, whose members lay up to 42 % of the mean
    contribution from its anchor's: levelled in full, eight block QPs in a row had no feasible
    point, growing to one of 264 variables (72 ms of DAQP, at 300 instruments); the market
    sample's 24 rebalances at 1,000 stocks took 24 s instead of 41 s by shares, to the same
    spreads."""
    reach = np.zeros(sizes.size)
    np.maximum.at(reach, label, np.abs(level))
    partial = np.flatnonzero(~pin & (sizes > 1) & (reach > nearly))
    return partial, reach[partial]


def _within(lay: _Layout, partial: np.ndarray) -> np.ndarray:
    """The pairwise spread of the contributions within each of the blocks ``partial``:
    Σ_k (2k − n_b − 1)·rc_(k) over each block's members sorted, k = 1 … n_b."""
    which = np.full(lay.p, -1, dtype=np.intp)
    which[partial] = np.arange(partial.size)
    members = np.flatnonzero(which[lay.label] >= 0)
    block = which[lay.label[members]]
    order = np.lexsort((lay.rc[members], block))  # by block, then by contribution
    block, values = block[order], lay.rc[members][order]
    counts = np.bincount(block, minlength=partial.size)
    rank = np.arange(block.size) - (np.cumsum(counts) - counts)[block] + 1
    return np.bincount(block, (2.0 * rank - counts[block] - 1.0) * values, partial.size)


def _apart(blocks: list, held: np.ndarray, anchorable: np.ndarray) -> list:
    """The blocks with the members ``held`` at their holdings as singletons, but for one
    ``anchorable`` member a block keeps as its anchor: a block moves its members' contributions
    together, which a member stopped at its holding cannot follow, while the others can follow its
    contribution (the anchor stays at its holding, as at the answer, where free weights sit tied
    to the contribution of one held at its holding)."""
    if not held.any():
        return list(blocks)
    # Only the blocks of several members with a held member change: found by array, the rest of
    # the list (hundreds of short blocks under caps on trades) copied in slices.
    sizes = np.fromiter(map(len, blocks), dtype=np.intp, count=len(blocks))
    flat = np.fromiter(itertools.chain.from_iterable(blocks), dtype=np.intp, count=int(sizes.sum()))
    label = np.repeat(np.arange(sizes.size), sizes)
    hit = (np.bincount(label[held[flat]], minlength=sizes.size) > 0) & (sizes > 1)
    if not hit.any():
        return list(blocks)
    # Python's own lists: the blocks are short lists, where indexing an array costs more than the test.
    held_l, anchorable_l = held.tolist(), anchorable.tolist()
    out: list = []
    done = 0
    for j in np.flatnonzero(hit).tolist():
        out.extend(blocks[done:j])
        b, done = blocks[j], j + 1
        keep = next((i for i in b if anchorable_l[i]), -1)
        rest = [i for i in b if not held_l[i] or i == keep]
        out.extend(([rest] if rest else []) + [[i] for i in b if held_l[i] and i != keep])
    out.extend(blocks[done:])
    return out
