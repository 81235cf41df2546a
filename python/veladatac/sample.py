"""Deterministic synthetic sample data and the default sample store.

Everything here is invented except the trading calendar, the industry and sector names and
the trading rules (:mod:`veladatac.rules`): prices come from a factor model (market, sector
and idiosyncratic Student-t shocks) held inside the daily price limits, with special
treatment episodes and limit streaks; the awkward cases a portfolio screen must cope with
(long suspensions, recent listings and delistings, missing bars, an illiquid stock without a
last close, industry changes, unclassified periods) are placed near the end of the range so
that recent windows hit them. The same arguments always give the same content.
"""

from __future__ import annotations

import datetime as _dt
import hashlib
import json
import os
import threading
import time
from contextlib import contextmanager
from dataclasses import dataclass, field
from importlib import resources
from pathlib import Path

import numpy as np

from . import _sample_market as market, rules
from ._dates import date_to_int, days_to_ints, to_day
from ._schema import (
    FUND_TYPE,
    GICS_SECTORS,
    INDEX_TYPE,
    SHIPPED_COVERAGE,
    STOCK_TYPE,
    create_schema,
    open_for_writing,
    replaced_atomically,
    series_chunks,
    set_meta,
    shipped_calendar,
    stamp_new_version,
    write_calendar,
    year_bounds,
)

# Bump when the generated content changes on purpose; the file name of the default
# store also carries a hash of this module, its price model, the rules and the calendar
# (_fingerprint), so any edit rebuilds it.
DATA_VERSION = 2
DEFAULT_SEED = 20260101
DEFAULT_START = "2005-01-04"
DEFAULT_END = "2026-12-31"
DEFAULT_STOCKS = 400
DEFAULT_FUNDS = 60
# (id, name, real size): tiers of the largest stocks by market cap, one after the other
TIERED_INDICES = (("000300.XSHG", "沪深300", 300), ("000905.XSHG", "中证500", 500), ("000852.XSHG", "中证1000", 1000))
# share of the sample's stocks each tier takes while the sample is too small for its real size
_TIER_SHARES = ((1, 4), (3, 8), (1, 4))
ALL_SHARE = ("000985.XSHG", "中证全指")  # every listed stock
INDEX_IDS = (*(x[0] for x in TIERED_INDICES), ALL_SHARE[0])

# (code, name, GICS sector): level-1 Shenwan industries as named from mid 2021
SHENWAN = (
    ("801780", "银行", "Financials"),
    ("801790", "非银金融", "Financials"),
    ("801120", "食品饮料", "Consumer Staples"),
    ("801010", "农林牧渔", "Consumer Staples"),
    ("801980", "美容护理", "Consumer Staples"),
    ("801150", "医药生物", "Health Care"),
    ("801080", "电子", "Information Technology"),
    ("801750", "计算机", "Information Technology"),
    ("801770", "通信", "Communication Services"),
    ("801760", "传媒", "Communication Services"),
    ("801160", "公用事业", "Utilities"),
    ("801180", "房地产", "Real Estate"),
    ("801950", "煤炭", "Energy"),
    ("801960", "石油石化", "Energy"),
    ("801030", "基础化工", "Materials"),
    ("801040", "钢铁", "Materials"),
    ("801050", "有色金属", "Materials"),
    ("801710", "建筑材料", "Materials"),
    ("801890", "机械设备", "Industrials"),
    ("801730", "电力设备", "Industrials"),
    ("801740", "国防军工", "Industrials"),
    ("801720", "建筑装饰", "Industrials"),
    ("801170", "交通运输", "Industrials"),
    ("801970", "环保", "Industrials"),
    ("801230", "综合", "Industrials"),
    ("801880", "汽车", "Consumer Discretionary"),
    ("801110", "家用电器", "Consumer Discretionary"),
    ("801130", "纺织服饰", "Consumer Discretionary"),
    ("801140", "轻工制造", "Consumer Discretionary"),
    ("801200", "商贸零售", "Consumer Discretionary"),
    ("801210", "社会服务", "Consumer Discretionary"),
)
# relative number of listed companies per industry (rough shape of the real market)
_INDUSTRY_WEIGHT = {
    "银行": 2,
    "非银金融": 4,
    "食品饮料": 4,
    "农林牧渔": 3,
    "美容护理": 1,
    "医药生物": 9,
    "电子": 9,
    "计算机": 7,
    "通信": 3,
    "传媒": 3,
    "公用事业": 3,
    "房地产": 3,
    "煤炭": 1,
    "石油石化": 1,
    "基础化工": 8,
    "钢铁": 1,
    "有色金属": 3,
    "建筑材料": 2,
    "机械设备": 9,
    "电力设备": 7,
    "国防军工": 2,
    "建筑装饰": 3,
    "交通运输": 3,
    "环保": 2,
    "综合": 1,
    "汽车": 5,
    "家用电器": 2,
    "纺织服饰": 2,
    "轻工制造": 3,
    "商贸零售": 2,
    "社会服务": 2,
}
# names these industries had before the sample's reclassification day
_OLD_NAMES = {
    "基础化工": ("801030", "化工"),
    "电力设备": ("801730", "电气设备"),
    "纺织服饰": ("801130", "纺织服装"),
    "商贸零售": ("801200", "商业贸易"),
    "社会服务": ("801210", "休闲服务"),
    "煤炭": ("801020", "采掘"),
    "石油石化": ("801020", "采掘"),
    "美容护理": ("801030", "化工"),
}
RECLASSIFICATION_DAY = _dt.date(2021, 7, 30)

_NAME_SUFFIX = {
    "银行": "银行 农商行",
    "非银金融": "证券 保险 信托",
    "食品饮料": "食品 酒业 乳业",
    "农林牧渔": "农业 牧业 种业",
    "美容护理": "日化 美妆",
    "医药生物": "药业 生物 医疗",
    "电子": "电子 微电 光电",
    "计算机": "软件 信息 数码",
    "通信": "通信 网络",
    "传媒": "传媒 文化",
    "公用事业": "电力 水务 燃气",
    "房地产": "地产 置业",
    "煤炭": "煤业 能源",
    "石油石化": "石化 油气",
    "基础化工": "化工 材料",
    "钢铁": "钢铁 特钢",
    "有色金属": "矿业 铝业 锂业",
    "建筑材料": "建材 水泥",
    "机械设备": "机械 重工 装备",
    "电力设备": "电气 新能 电池",
    "国防军工": "航天 航空 防务",
    "建筑装饰": "建设 建工",
    "交通运输": "物流 航运 高速",
    "环保": "环境 环保",
    "综合": "实业 控股",
    "汽车": "汽车 汽配",
    "家用电器": "电器 家电",
    "纺织服饰": "服饰 纺织",
    "轻工制造": "家居 纸业",
    "商贸零售": "商贸 百货",
    "社会服务": "旅游 教育 酒店",
}
_NAME_CHARS = "华中东海金新天恒长国大广永泰瑞宏安信通鑫晨博远盛达荣昌隆兴嘉明丰和景润光佳航凯"

FUND_TYPES = ("Stock", "Hybrid", "Bond", "Money Market", "Index", "QDII")
_FUND_SUFFIX = {
    "Stock": "股票",
    "Hybrid": "混合",
    "Bond": "债券",
    "Money Market": "货币",
    "Index": "300指数",
    "QDII": "全球QDII",
}
_FUND_THEME = (
    "成长",
    "价值",
    "稳健",
    "优选",
    "精选",
    "创新",
    "红利",
    "消费",
    "科技",
    "均衡",
    "领航",
    "睿选",
    "鑫利",
    "恒益",
    "安泰",
    "瑞丰",
)

# (role, count per 400 stocks, minimum count)
_ROLES = (
    ("long_suspension", 4, 1),
    ("suspended_at_end", 1, 1),
    ("recent_listing", 5, 2),
    ("recent_delisting", 5, 2),
    ("interior_gaps", 4, 1),
    ("illiquid_no_last_close", 1, 1),
    ("industry_change", 8, 2),
    ("unclassified", 4, 1),
)
MIN_STOCKS = 16
MAX_STOCKS = 6000  # the id ranges drawn from hold about 8600 codes
MAX_FUNDS = 3000
MIN_DAYS = 300


@dataclass(frozen=True)
class SampleInfo:
    """What :func:`build_store` wrote. ``roles`` maps each awkward case to its ids; the
    first id of every role lies inside the last 133 trading days:

    long_suspension: suspended (volume 0, close carried) for weeks, some in the last 133 days;
    suspended_at_end: suspended for the last 25 trading days;
    recent_listing / recent_delisting: listed / delisted within the last ~2 years;
    interior_gaps: missing bars (NaN close and volume) inside the last 133 days;
    illiquid_no_last_close: zero volume on about half the last 133 days, no bar on the last day;
    industry_change: Shenwan industry changed within the last ~2 years;
    unclassified: no Shenwan industry during part of the last ~2 years;
    recent_fund / liquidated_fund: fund started / stopped within the last 100 days.
    """

    path: Path
    start: _dt.date
    end: _dt.date
    seed: int
    stock_ids: tuple[str, ...]
    index_ids: tuple[str, ...]
    fund_ids: tuple[str, ...]
    roles: dict = field(default_factory=dict)
    seconds: float = 0.0


# ---- default store location ------------------------------------------------------------


def _cache_root() -> Path:
    xdg = os.environ.get("XDG_CACHE_HOME")
    base = Path(xdg) if xdg and os.path.isabs(xdg) else Path.home() / ".cache"
    return base / "veladatac"


def _fingerprint() -> str:
    """Hash of what the content follows from: this generator, its price model, the trading
    rules and the packaged calendar."""
    h = hashlib.sha256()
    for module in (__file__, market.__file__, rules.__file__):
        h.update(Path(module).read_bytes())
    h.update(resources.files(__package__).joinpath("data/xshg_trading_days.txt").read_bytes())
    return h.hexdigest()[:10]


_thread_lock = threading.Lock()
_default_path: Path | None = None


def sample_store_path(cache_dir=None) -> Path:
    """Where the default sample store lives (not necessarily built yet)."""
    global _default_path
    if cache_dir is not None:
        return Path(cache_dir) / f"sample-v{DATA_VERSION}-{_fingerprint()}.sqlite"
    root = _cache_root()
    if _default_path is None or _default_path.parent != root:
        _default_path = root / f"sample-v{DATA_VERSION}-{_fingerprint()}.sqlite"
    return _default_path


@contextmanager
def _file_lock(path: Path):
    """Exclusive advisory lock between processes (no-op where flock is missing)."""
    try:
        import fcntl
    except ImportError:  # pragma: no cover - non-POSIX
        yield
        return
    with open(path, "a+b") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(f, fcntl.LOCK_UN)


def ensure_sample_store(cache_dir=None, *, rebuild: bool = False) -> Path:
    """Path of the default sample store, building it first if it is missing.

    Racing builders (threads or processes) serialise on a lock file; each build writes a
    private temporary file and renames it into place, so a reader never sees a partial
    store even where locking is unavailable. ``rebuild`` replaces an existing file (used
    when it turned out to be unreadable).
    """
    path = sample_store_path(cache_dir)
    if path.exists() and not rebuild:
        return path
    with _thread_lock:
        path.parent.mkdir(parents=True, exist_ok=True)
        seen = path.stat().st_mtime_ns if path.exists() else None
        with _file_lock(path.with_name(path.name + ".lock")):
            now = path.stat().st_mtime_ns if path.exists() else None
            # someone else finished a build while we waited: use theirs
            if now is not None and (not rebuild or now != seen):
                return path
            build_store(path)
    return path


# ---- generator ----------------------------------------------------------------------

# (first code, end code (excluded), exchange, share of listings): the code ranges of the boards,
# with room for about 8600 stocks, weighted like today's market
_ID_POOLS = (
    (600000, 601000, "XSHG", 0.165),
    (601000, 602000, "XSHG", 0.035),
    (603000, 604000, "XSHG", 0.165),
    (605000, 605600, "XSHG", 0.025),
    (688001, 689000, "XSHG", 0.11),
    (1, 1000, "XSHE", 0.09),
    (1200, 1400, "XSHE", 0.015),
    (2001, 3000, "XSHE", 0.18),
    (3000, 3100, "XSHE", 0.01),
    (300001, 301000, "XSHE", 0.15),
    (301000, 301700, "XSHE", 0.055),
)
_FIXED_IDS = ("600000.XSHG", "600004.XSHG", "000001.XSHE", "000002.XSHE")
# first listing under a code series (plausible listing dates only; a board's own opening
# comes from its first board-lot rule)
_SERIES_OPENED = {
    "601": _dt.date(2006, 6, 1),
    "603": _dt.date(2011, 1, 4),
    "605": _dt.date(2020, 1, 2),
    "002": _dt.date(2004, 6, 25),
    "001": _dt.date(2021, 6, 1),
    "003": _dt.date(2020, 6, 1),
    "301": _dt.date(2021, 1, 4),
}


def _stock_ids(rng: np.random.Generator, n: int) -> list[str]:
    """``n`` distinct ids: the four fixed ones, then codes drawn without replacement from the
    board ranges, as many from each as a multinomial draw by the ranges' weights gives (a
    range that is full passes its excess to the ranges with most room)."""
    fixed = list(_FIXED_IDS[:n])
    free = [
        np.setdiff1d(np.arange(lo, hi), [int(x[:6]) for x in fixed if x.endswith(exch)])
        for lo, hi, exch, _ in _ID_POOLS
    ]
    weights = np.array([p[3] for p in _ID_POOLS])
    counts = rng.multinomial(n - len(fixed), weights / weights.sum())
    room = np.array([f.size for f in free]) - counts
    while (room < 0).any():
        k = int(np.argmin(room))
        j = int(np.argmax(room))
        counts[k] += room[k]
        counts[j] -= room[k]
        room = np.array([f.size for f in free]) - counts
    drawn = [
        f"{int(c):06d}.{exch}"
        for (lo, hi, exch, _), pool, m in zip(_ID_POOLS, free, counts, strict=True)
        for c in rng.choice(pool, size=int(m), replace=False)
    ]
    return fixed + [drawn[k] for k in rng.permutation(len(drawn))]


def _board_open(oid: str) -> _dt.date:
    """First day a stock of this code could have listed: its board's opening (the start of the
    board's lot rule), or later for a code series first used later."""
    board = rules.board_of(oid)
    if board is None:  # never for the ids _stock_ids draws: each is in a board's code range
        raise ValueError(f"{oid} is not the id of an A-share stock")
    opened = rules.LOTS[board][0].start
    return max(opened, _SERIES_OPENED.get(oid[:3], opened))


def _unique_names(rng, n, make) -> list[str]:
    seen, out = set(), []
    for i in range(n):
        for _ in range(1000):
            name = make(i)
            if name not in seen:
                break
        seen.add(name)
        out.append(name)
    return out


def _student_t(rng, df, size):
    """Student-t shocks scaled to unit variance (fat tails, same spread as a normal)."""
    out = rng.standard_t(df, size)
    out *= np.sqrt((df - 2.0) / df)
    return out


def build_store(
    path,
    *,
    n_stocks: int = DEFAULT_STOCKS,
    n_funds: int = DEFAULT_FUNDS,
    start=DEFAULT_START,
    end=DEFAULT_END,
    seed: int = DEFAULT_SEED,
) -> SampleInfo:
    """Write a synthetic store to ``path`` atomically and describe what it holds.

    The trading calendar is the packaged Shanghai calendar cut to [start, end]; it must
    keep at least 300 trading days. ``n_stocks`` in [16, 6000], ``n_funds`` in [0, 3000].
    Small stores (30 stocks, 8 funds, 2 years) build in well under a second, a market-size
    one (5000 stocks, 200 funds, 18 months) in a few seconds.
    """
    t0 = time.perf_counter()
    path = Path(os.fspath(path))
    if not MIN_STOCKS <= n_stocks <= MAX_STOCKS:
        raise ValueError(f"n_stocks must be in [{MIN_STOCKS}, {MAX_STOCKS}]; got {n_stocks}")
    if not 0 <= n_funds <= MAX_FUNDS:
        raise ValueError(f"n_funds must be in [0, {MAX_FUNDS}]; got {n_funds}")
    cal = shipped_calendar()
    lo, hi = to_day(start, "start"), to_day(end, "end")
    days = cal[(cal >= lo) & (cal <= hi)]
    coverage = (max(lo, SHIPPED_COVERAGE[0]), min(hi, SHIPPED_COVERAGE[1]))
    if days.size < MIN_DAYS:
        raise ValueError(
            f"[{start}, {end}] holds {days.size} trading days of the packaged "
            f"calendar ({cal[0]} .. {cal[-1]}); at least {MIN_DAYS} are needed"
        )
    rng = np.random.default_rng(seed)
    data = _generate(rng, days, n_stocks, n_funds)

    path.parent.mkdir(parents=True, exist_ok=True)
    with replaced_atomically(path) as tmp:
        con = open_for_writing(tmp)
        try:
            create_schema(con)  # executescript commits on its own, so before BEGIN
            con.execute("BEGIN")
            _write(con, days, coverage, data)
            set_meta(
                con,
                created_by="sample",
                data_version=DATA_VERSION,
                sample_params=json.dumps(
                    {
                        "n_stocks": n_stocks,
                        "n_funds": n_funds,
                        "start": str(days[0]),
                        "end": str(days[-1]),
                        "seed": seed,
                    }
                ),
            )
            stamp_new_version(con)
            con.execute("COMMIT")
        finally:
            con.close()
    return SampleInfo(
        path=path,
        start=days[0].item(),
        end=days[-1].item(),
        seed=seed,
        stock_ids=tuple(sorted(data["stock_ids"])),
        index_ids=INDEX_IDS,
        fund_ids=tuple(sorted(data["fund_ids"])),
        roles={k: tuple(v) for k, v in data["roles"].items()},
        seconds=time.perf_counter() - t0,
    )


def _generate(rng: np.random.Generator, days: np.ndarray, n: int, n_funds: int) -> dict:
    """Everything the store will hold, drawn from ``rng`` in one fixed order.

    The stages run in sequence and each draws from ``rng`` in turn, so their order (and the
    order of the draws inside each) fixes the content for a seed: changing either changes
    the data, which calls for a new ``DATA_VERSION``.
    """
    ids, ind, sector_of, symbols = _stock_identities(rng, n)
    roles, role_of = _assign_roles(rng, n, ind)
    first_bar, last_bar, listed_date = _listing_spans(rng, days, ids, roles, role_of)
    state = _day_states(rng, days.size, first_bar, last_bar, roles, role_of)
    st = market.st_episodes(rng, days.size, first_bar, last_bar, len(_FIXED_IDS))
    close, volume, shares = _prices_and_volumes(rng, days, ids, sector_of, state, st, first_bar, listed_date)
    index_close, index_volume, index_rows = _indices(
        days, ids, close, volume, shares, first_bar, last_bar, listed_date, st
    )
    industry_rows = _industry_history(rng, days, ids, ind, roles, role_of, first_bar, last_bar, listed_date)
    funds = _funds(rng, days, n_funds, index_close[0])
    return {
        "days": days,
        "stock_ids": ids,
        "symbols": symbols,
        "sector_of": sector_of,
        "listed_date": listed_date,
        "first_bar": first_bar,
        "last_bar": last_bar,
        "close": close,
        "volume": volume,
        "index_close": index_close,
        "index_volume": index_volume,
        "index_rows": index_rows,
        "industry_rows": industry_rows,
        "st_rows": market.st_rows(days, ids, st, last_bar),
        "fund_ids": funds["ids"],
        "funds": funds,
        "roles": {**{r: [ids[i] for i in m] for r, m in roles.items()}, **funds["roles"]},
    }


def _clamp(pos, last: int) -> int:
    """``pos`` kept inside [1, last], the positions a bar may move to."""
    return int(min(max(pos, 1), last))


def _stock_identities(rng, n: int):
    """Ids, Shenwan industries (positions in ``SHENWAN``), GICS sectors (positions in
    ``GICS_SECTORS``) and names of ``n`` stocks. The first 11 stocks cover every sector, so
    even a small store has all of them."""
    ids = _stock_ids(rng, n)
    names_sw = [s[1] for s in SHENWAN]
    w = np.array([_INDUSTRY_WEIGHT[x] for x in names_sw], dtype=float)
    ind = rng.choice(len(SHENWAN), size=n, p=w / w.sum())
    first_of_sector: dict[str, int] = {}  # GICS sector -> its first position in SHENWAN
    for k, (_, _, sector) in enumerate(SHENWAN):
        first_of_sector.setdefault(sector, k)
    for i, sector in enumerate(GICS_SECTORS):
        ind[i] = first_of_sector[sector]
    sector_of = np.array([GICS_SECTORS.index(SHENWAN[k][2]) for k in ind])
    symbols = _unique_names(
        rng,
        n,
        lambda i: "".join(rng.choice(list(_NAME_CHARS), 2)) + rng.choice(_NAME_SUFFIX[SHENWAN[ind[i]][1]].split()),
    )
    return ids, ind, sector_of, symbols


def _assign_roles(rng, n: int, ind):
    """Disjoint sets of stock positions for the awkward cases of ``_ROLES`` (the four fixed
    ids play none), as {role: [position]} and its inverse {position: role}. Industry
    changes go to sectors with more than one Shenwan industry."""
    order = [int(i) for i in rng.permutation(np.arange(4, n))]
    multi = {s for s in GICS_SECTORS if sum(x[2] == s for x in SHENWAN) > 1}
    roles: dict[str, list[int]] = {}
    for role, per400, minimum in _ROLES:
        k = max(minimum, round(n * per400 / 400))
        if role == "industry_change":
            pick = [i for i in order if SHENWAN[ind[i]][2] in multi][:k]
        else:
            pick = order[:k]
        order = [i for i in order if i not in pick]
        roles[role] = pick
    role_of = {i: r for r, members in roles.items() for i in members}
    return roles, role_of


def _listing_spans(rng, days, ids, roles, role_of):
    """Positions of each stock's first and last bar, and its listing date.

    Most stocks listed before the range (a weekday between their board's opening and a month
    before the first day, with the first bar at position 0); the others list inside it. The
    recent_listing and recent_delisting roles list or leave within the last ~2 years, a
    few others delist in older history, and every stock trades for at least ~20 days.
    """
    T = days.size
    L = T - 1
    n = len(ids)
    first_day = days[0].item()
    # a month clear of the range, so that no day in it falls within a listing's first days
    pre_end = first_day - _dt.timedelta(days=30)
    first_bar = np.zeros(n, dtype=np.int64)
    last_bar = np.full(n, L, dtype=np.int64)
    listed = []
    for i, oid in enumerate(ids):
        opened = _board_open(oid)
        can_pre = opened < pre_end
        late_limit = max(L - 500, 1)
        if role_of.get(i) == "recent_listing":
            k = roles["recent_listing"].index(i)
            first_bar[i] = _clamp(L - (60, 100, 200, 300, 450)[k % 5] - 3 * (k // 5), L)
        elif can_pre and (rng.random() < 0.8 or T < 1000):
            span = (pre_end - opened).days
            day = opened + _dt.timedelta(days=int(rng.integers(0, max(span, 1))))
            if day.weekday() >= 5:  # listings happen on weekdays
                day -= _dt.timedelta(days=day.weekday() - 4)
            listed.append((i, day))
            continue
        else:
            earliest = int(np.searchsorted(days, np.datetime64(opened, "D")))
            first_bar[i] = int(rng.integers(min(earliest, late_limit), late_limit + 1))
        listed.append((i, days[first_bar[i]].item()))
    listed_date = dict(listed)
    for i in range(n):
        if role_of.get(i) == "recent_delisting":
            k = roles["recent_delisting"].index(i)
            last_bar[i] = _clamp(L - (30, 90, 160, 250, 400)[k % 5] - 3 * (k // 5), L)
        elif T > 1500 and i >= 4 and role_of.get(i) is None and rng.random() < 0.02:
            last_bar[i] = int(rng.integers(first_bar[i] + 250, L - 600)) if first_bar[i] + 250 < L - 600 else L
        if last_bar[i] <= first_bar[i] + 20:  # keep every stock trading for a while
            first_bar[i] = max(last_bar[i] - 120, 0)
            listed_date[i] = days[first_bar[i]].item()
    return first_bar, last_bar, listed_date


def _prices_and_volumes(rng, days, ids, sector_of, state, st, first_bar, listed_date):
    """Closes and volumes of every stock on every day (T × n) and each stock's share count.

    Daily returns: market + sector + idiosyncratic Student-t shocks (4 degrees of freedom)
    under a common volatility regime (an AR(1) log-volatility). Log prices are pulled slowly
    towards a per-stock anchor that drifts upwards, which keeps prices in a plausible range.
    The closes are then set day by day in whole fen inside the daily price limits of the
    rules, with limit-up and limit-down streaks (``_sample_market``); volumes follow the
    size of the day's move.
    """
    T, n = days.size, len(ids)
    df = 4.0
    z = rng.standard_normal(T)
    lv = np.empty(T)
    x = 0.0
    for t in range(T):  # log-volatility AR(1): calm and turbulent stretches
        x = 0.985 * x + 0.06 * z[t]
        lv[t] = x
    regime = np.exp(lv - lv.mean())
    mkt = 0.011 * regime * _student_t(rng, df, T) + 0.0002
    sect = 0.007 * regime[:, None] * _student_t(rng, df, (T, len(GICS_SECTORS)))
    beta = rng.uniform(0.7, 1.3, n)
    idio = rng.uniform(0.010, 0.024, n)
    logret = _student_t(rng, df, (T, n))  # worked in place: one (T, n) array at a time
    logret *= idio
    logret += sect[:, sector_of]
    logret += mkt[:, None] * beta
    np.log1p(np.clip(logret, -0.5, 0.5, out=logret), out=logret)  # the limits come with the closes
    anchor = np.log(np.exp(rng.normal(np.log(12.0), 0.7, n)).clip(2.5, 150.0))
    growth = rng.normal(0.00025, 0.0002, n)  # anchor drift per day: the market grows
    x0 = anchor + rng.normal(0, 0.2, n)
    limits = market.Limits(days, ids, st, first_bar, listed_date)
    events = market.streak_events(rng, market.eligible_days(state, limits.has_limit(st)))
    close = market.price_path(logret, anchor, growth, x0, state, st, events, limits)
    shares = np.exp(rng.normal(np.log(1.5e9), 0.6, n))
    volume = market.volumes(rng, close, state, events, shares)
    return close, volume, shares


def _day_states(rng, T: int, first_bar, last_bar, roles, role_of) -> np.ndarray:
    """Which days each stock trades, (T, n) int8 (``_sample_market`` NO_BAR / TRADED / HALTED).

    Before the first and after the last bar: no bar. A suspension: halted days (volume 0,
    the last close carried). A gap: one missing bar inside the listing. Occasional short
    suspensions fall in older history; the roles get theirs near the end (long_suspension,
    suspended_at_end, a halt before the first recent delisting, the interior_gaps, and the
    illiquid stock with 60 halted days and no last bar).
    """
    n = first_bar.size
    L = T - 1
    t_idx = np.arange(T)[:, None]
    state = np.where((t_idx < first_bar) | (t_idx > last_bar), market.NO_BAR, market.TRADED).astype(np.int8)

    def suspend(i, a, b):
        a, b = max(a, first_bar[i] + 1), min(b, last_bar[i])
        if a <= b:
            state[a : b + 1, i] = market.HALTED

    def gap(i, pos):
        if first_bar[i] < pos <= last_bar[i]:
            state[pos, i] = market.NO_BAR

    for i in range(n):  # occasional short suspensions in older history
        if role_of.get(i) is None and L > 700 and rng.random() < 0.15:
            for _ in range(int(rng.integers(1, 4))):
                a = int(rng.integers(1, L - 600))
                suspend(i, a, a + int(rng.integers(1, 16)))
    for k, i in enumerate(roles["long_suspension"]):
        if k % 2 == 0:
            suspend(i, L - 110 - 7 * k, L - 20 - 3 * k)
        else:
            suspend(i, _clamp(L - 380 - 5 * k, L), _clamp(L - 290 - 5 * k, L))
    for i in roles["suspended_at_end"]:
        suspend(i, L - 24, L)
    for k, i in enumerate(roles["recent_delisting"]):
        if k == 0:  # trading halted before the exit, as usual
            suspend(i, last_bar[i] - 19, last_bar[i])
    for i in roles["interior_gaps"]:
        for off in (5, 17, 40, 77, 120, 200, 260):
            gap(i, L - off)
    for i in roles["illiquid_no_last_close"]:
        window = np.arange(L - 132, L)
        for pos in np.sort(rng.choice(window, size=60, replace=False)):
            suspend(i, int(pos), int(pos))
        gap(i, L)
    market.settle_states(state)
    return state


def tier_sizes(n_stocks: int) -> tuple[int, ...]:
    """Members of 000300, 000905 and 000852 in a sample of ``n_stocks``: the real size where the
    sample has the stocks for it, else a fixed share of the sample (1/4, 3/8, 1/4)."""
    return tuple(
        min(real, n_stocks * num // den) for (_, _, real), (num, den) in zip(TIERED_INDICES, _TIER_SHARES, strict=True)
    )


def _runs_by_column(mask: np.ndarray):
    """(column, first, last) positions of every run of True down the columns of a (T, n) bool
    array, by column then time."""
    T, n = mask.shape
    pad = np.zeros((n, T + 2), dtype=np.int8)
    pad[:, 1:-1] = mask.T
    d = np.diff(pad, axis=1)
    cols, first = np.nonzero(d == 1)
    _, after = np.nonzero(d == -1)
    return cols, first, after - 1


def _tier_members(close, volume, shares, days, first_bar, last_bar, st) -> list:
    """(T, n) membership of each tiered index.

    Rebalanced on the first trading day of January and July (and set on the first day): the
    stocks trading on the day before (a close and volume, listed for at least 20 days, not
    under special treatment) are ranked by market cap; the largest go to 000300, the next to
    000905, then to 000852. A member leaves on de-listing.
    """
    T, n = close.shape
    months = days.astype("datetime64[M]").astype(np.int64)
    rebal = [0] + [t for t in range(1, T) if months[t] != months[t - 1] and months[t] % 12 in (0, 6)]
    edges = np.concatenate(([0], np.cumsum(tier_sizes(n))))
    sets = np.zeros((len(TIERED_INDICES), len(rebal), n), dtype=bool)
    for p, rb in enumerate(rebal):
        rd = max(rb - 1, 0)
        ok = np.isfinite(close[rd]) & (volume[rd] > 0) & (last_bar > rd) & (st[rd] == 0)
        if rb > 0:
            ok &= first_bar <= rd - 20
        ranked = np.argsort(-np.where(ok, shares * close[rd], -1.0), kind="stable")[: int(ok.sum())]
        for j in range(len(TIERED_INDICES)):
            sets[j, p, ranked[edges[j] : edges[j + 1]]] = True
    period = np.searchsorted(np.array(rebal), np.arange(T), "right") - 1
    alive = np.arange(T)[:, None] <= last_bar
    return [sets[j][period] & alive for j in range(len(TIERED_INDICES))]


def _indices(days, ids, close, volume, shares, first_bar, last_bar, listed_date, st):
    """The indices' closes and volumes and their membership rows (``INDEX_IDS`` order).

    000300, 000905 and 000852 are tiers by market cap (``_tier_members``); 000985 holds every
    stock listed on the day, from its listing (or the index's first day) to the day before its
    de-listing. The close starts at 1000 and moves with the cap-weighted return of the members
    (weights: the previous day's caps); the volume sums the members' volumes. Rows: (index,
    stock, first day, last day or None while still a member).
    """
    T, n = close.shape
    L = T - 1
    ints = days_to_ints(days)
    t_idx = np.arange(T)[:, None]
    tiers = _tier_members(close, volume, shares, days, first_bar, last_bar, st)
    members = [*tiers, (t_idx >= first_bar) & (t_idx <= last_bar)]
    ret, tot, vol = np.zeros((len(members), T)), np.zeros((len(members), T)), np.zeros((len(members), T))
    for a in range(1, T, 256):  # by stretches of days: a few (days, n) arrays at a time
        b = min(a + 256, T)
        prev, cur = close[a - 1 : b - 1], close[a:b]
        stock_ret = np.where(np.isfinite(prev) & np.isfinite(cur), cur / prev - 1.0, 0.0)
        prev_cap = np.nan_to_num(prev * shares)
        for j, mem in enumerate(members):
            wgt = prev_cap * mem[a:b]
            tot[j, a:b] = wgt.sum(axis=1)
            ret[j, a:b] = (wgt * stock_ret).sum(axis=1)
    for j, mem in enumerate(members):
        vol[j] = np.nansum(np.where(mem, volume, 0.0), axis=1)
    r = np.divide(ret, tot, out=np.zeros_like(ret), where=tot > 0)
    index_close = [np.round(1000.0 * np.cumprod(1.0 + r[j]), 4) for j in range(len(members))]
    index_volume = list(vol)
    index_rows = []
    for (idx_id, _, _), mem in zip(TIERED_INDICES, tiers, strict=True):
        cols, first, last = _runs_by_column(mem)
        index_rows.extend(
            (idx_id, ids[c], int(ints[a]), None if b == L else int(ints[b]))
            for c, a, b in zip(cols, first, last, strict=True)
        )
    first_day = days[0].item()
    for i, oid in enumerate(ids):
        end = None if last_bar[i] == L else _int_minus_day(int(ints[last_bar[i] + 1]))
        index_rows.append((ALL_SHARE[0], oid, date_to_int(max(listed_date[i], first_day)), end))
    return index_close, index_volume, index_rows


def _industry_history(rng, days, ids, ind, roles, role_of, first_bar, last_bar, listed_date):
    """Shenwan industry rows (stock, code, name, first day, last day or None), YYYYMMDD.

    A stock is classified from its listing (a recent listing only 40 bars later) until it
    delists. industry_change stocks sat in another industry of the same sector until a
    day within the last ~2 years; unclassified stocks lose their industry for a stretch
    (or from a day to the end). Industries renamed on ``RECLASSIFICATION_DAY`` carry their
    older code and name before it.
    """
    L = days.size - 1
    ints = days_to_ints(days)

    def minus_day(pos):
        return date_to_int(days[pos].item() - _dt.timedelta(days=1))

    industry_rows = []
    reclass = date_to_int(RECLASSIFICATION_DAY)
    for i in range(len(ids)):
        role = role_of.get(i)
        code, name, sector = SHENWAN[ind[i]]
        begin = first_bar[i] + 40 if role == "recent_listing" else None
        start_int = (
            int(ints[begin])
            if begin is not None and begin <= L
            else (None if begin is not None else date_to_int(listed_date[i]))
        )
        if start_int is None:
            continue
        stop = None if last_bar[i] == L else int(ints[last_bar[i]])
        segs = [[start_int, stop, code, name]]
        if role == "industry_change":
            c = _clamp(L - (60, 150, 300, 20)[roles["industry_change"].index(i) % 4], L)
            others = [s for s in SHENWAN if s[2] == sector and s[1] != name]
            old = others[int(rng.integers(len(others)))]
            if start_int < int(ints[c]):
                segs = [[start_int, minus_day(c), old[0], old[1]], [int(ints[c]), stop, code, name]]
        if role == "unclassified":
            k = roles["unclassified"].index(i)
            a, b = (_clamp(L - 250, L), _clamp(L - 100, L)) if k % 2 == 0 else (_clamp(L - 80, L), None)
            cut = [[start_int, minus_day(a), code, name]]
            if b is not None:
                cut.append([int(ints[b + 1]), stop, code, name])
            segs = [s for s in cut if s[1] is None or s[0] <= s[1]]
        final = []
        for s in segs:  # older names before the reclassification day
            if s[2:] != [code, name] or name not in _OLD_NAMES or s[0] >= reclass:
                final.append(s)
                continue
            old_code, old_name = _OLD_NAMES[name]
            old_end = _int_minus_day(reclass)
            final.append([s[0], old_end if s[1] is None else min(old_end, s[1]), old_code, old_name])
            if s[1] is None or s[1] >= reclass:
                final.append([reclass, s[1], code, name])
        for s0, s1, c0, n0 in final:
            industry_rows.append((ids[i], c0, n0, s0, s1))
    return industry_rows


def _int_minus_day(v: int) -> int:
    d = _dt.date(v // 10000, v // 100 % 100, v % 100) - _dt.timedelta(days=1)
    return date_to_int(d)


def _funds(rng, days, n_funds, bench_close) -> dict:
    T = days.size
    L = T - 1
    fixed = ["000001.OF", "110022.OF"][:n_funds]
    taken, ids = set(fixed), list(fixed)
    pools = [(2, 10000), (110000, 111000), (160000, 170000), (519000, 520000)]
    while len(ids) < n_funds:
        lo, hi = pools[int(rng.integers(len(pools)))]
        oid = f"{int(rng.integers(lo, hi)):06d}.OF"
        if oid not in taken:
            taken.add(oid)
            ids.append(oid)
    kinds = [
        FUND_TYPES[i % len(FUND_TYPES)]
        if i < len(FUND_TYPES)
        else FUND_TYPES[int(rng.choice(len(FUND_TYPES), p=[0.3, 0.3, 0.15, 0.05, 0.15, 0.05]))]
        for i in range(n_funds)
    ]
    names = _unique_names(
        rng,
        n_funds,
        lambda i: (
            "".join(rng.choice(list(_NAME_CHARS), 2))
            + rng.choice(_FUND_THEME)
            + _FUND_SUFFIX[kinds[i]]
            + rng.choice(["A", "C", ""])
        ),
    )
    bench = np.concatenate(([0.0], bench_close[1:] / bench_close[:-1] - 1.0))
    foreign = 0.011 * _student_t(rng, 4.0, T)
    nav = np.full((T, n_funds), np.nan)
    roles: dict[str, list[str]] = {"recent_fund": [], "liquidated_fund": []}
    for i in range(n_funds):
        kind = kinds[i]
        e = rng.standard_normal(T)
        if kind == "Stock":
            r = 0.9 * bench + 0.006 * e + 0.0001
        elif kind == "Hybrid":
            r = 0.55 * bench + 0.004 * e + 0.0001
        elif kind == "Bond":
            r = 0.00016 + 0.0008 * e
        elif kind == "Money Market":
            r = 0.02 / 244 * (1.0 + 0.2 * np.abs(e))  # never loses value
        elif kind == "Index":
            r = bench + 0.0005 * e
        else:  # QDII: mostly foreign exposure
            r = 0.2 * bench + foreign + 0.003 * e
        first, last = 0, L
        if i >= 2 and rng.random() < 0.25:
            first = int(rng.integers(1, max(L - 300, 2)))
        if n_funds >= 4 and i == n_funds - 1:
            first = L - 70
            roles["recent_fund"].append(ids[i])
        if n_funds >= 4 and i == n_funds - 2:
            last = L - 45
            roles["liquidated_fund"].append(ids[i])
        r = r.copy()
        r[first] = 0.0
        level = 1.0 if first > 0 else float(rng.uniform(1.0, 3.0))
        path = level * np.cumprod(1.0 + r[first : last + 1])
        nav[first : last + 1, i] = np.round(path, 4)
        if kind == "QDII":  # no price on foreign market holidays
            holes = rng.random(last - first + 1) < 0.04
            holes[0] = False
            nav[first : last + 1, i][holes] = np.nan
    return {"ids": ids, "kinds": kinds, "names": names, "nav": nav, "roles": roles}


def _delisted(days, last_bar) -> int | None:
    """De-listing date: the trading day after the last bar (None while still trading)."""
    return None if last_bar >= days.size - 1 else date_to_int(days[last_bar + 1].item())


def _write(con, days, coverage, data) -> None:
    write_calendar(con, days, coverage)
    bounds = year_bounds(days)
    ids = data["stock_ids"]
    con.executemany(
        "INSERT INTO instruments VALUES (?, ?, ?, ?, ?, ?)",
        [
            (
                oid,
                data["symbols"][i],
                STOCK_TYPE,
                GICS_SECTORS[data["sector_of"][i]],
                date_to_int(data["listed_date"][i]),
                _delisted(days, data["last_bar"][i]),
            )
            for i, oid in enumerate(ids)
        ],
    )
    first = date_to_int(days[0].item())
    con.executemany(
        "INSERT INTO instruments VALUES (?, ?, ?, NULL, ?, NULL)",
        [(oid, name, INDEX_TYPE, first) for oid, name, _ in (*TIERED_INDICES, (*ALL_SHARE, None))],
    )
    f = data["funds"]
    con.executemany(
        "INSERT INTO funds VALUES (?, ?, ?, ?)",
        [(oid, f["names"][i], FUND_TYPE, f["kinds"][i]) for i, oid in enumerate(f["ids"])],
    )

    def rows():  # streamed into the table: a (T, n) array is never copied whole
        for i, oid in enumerate(ids):
            yield from series_chunks(oid, "close", data["close"][:, i], bounds)
            yield from series_chunks(oid, "volume", data["volume"][:, i], bounds)
        for j, oid in enumerate(INDEX_IDS):
            yield from series_chunks(oid, "close", data["index_close"][j], bounds)
            yield from series_chunks(oid, "volume", data["index_volume"][j], bounds)
        for i, oid in enumerate(f["ids"]):
            yield from series_chunks(oid, "adjusted_net_value", f["nav"][:, i], bounds)

    con.executemany("INSERT INTO series VALUES (?, ?, ?, ?)", rows())
    con.executemany("INSERT INTO industry VALUES (?, ?, ?, ?, ?)", data["industry_rows"])
    con.executemany("INSERT INTO index_members VALUES (?, ?, ?, ?)", data["index_rows"])
    con.executemany("INSERT INTO special_treatment VALUES (?, ?, ?, ?)", data["st_rows"])
