"""Fixtures for the veladatac client tests (imported by the test modules by name).

``small_store``: a 30-stock, 8-fund, two-year synthetic store (SampleInfo).
``known_store``: a tiny store imported from hand-written CSV text whose values are
known exactly, for checking the missing-value semantics cell by cell.
Every test runs with its own cache folder and no VELADATAC_STORE, so nothing here can
touch (or build) the user's sample store by accident.
"""

import hashlib
import textwrap
from pathlib import Path

import pytest

import veladatac
from veladatac import sample
from veladatac.importer import import_files

SMALL = dict(n_stocks=30, n_funds=8, start="2025-01-01", end="2026-12-31", seed=7)

# A: listed before the data; suspended on 01-03 (close carried, volume 0), no bar on 01-06.
# B: listed 2025-01-06, de-listed 2025-01-13 (no bar from then on).
# C: listed inside the window, first bar 2025-01-08.
KNOWN_CSV = {
    "instruments": """\
        order_book_id,symbol,type,sector_type_name,listed_date,de_listed_date
        600001.XSHG,甲股份,CS,Financials,2020-01-02,
        600002.XSHG,乙股份,CS,Energy,2025-01-06,2025-01-13
        000003.XSHE,丙科技,CS,Information Technology,2025-01-08,
        000300.XSHG,沪深300,INDX,,2020-01-02,
        """,
    "funds": """\
        order_book_id,symbol,fund_type,type
        000001.OF,甲基金,Stock,PublicFund
        """,
    "bars": """\
        order_book_id,date,close,volume
        600001.XSHG,2024-12-31,9.80,900
        600001.XSHG,2025-01-02,10.00,100
        600001.XSHG,2025-01-03,10.00,0
        600001.XSHG,2025-01-07,11.00,300
        600001.XSHG,2025-01-08,11.50,400
        600002.XSHG,2025-01-06,5.00,50
        600002.XSHG,2025-01-07,5.10,60
        600002.XSHG,2025-01-10,5.20,70
        000003.XSHE,2025-01-08,20.00,1000
        000003.XSHE,2025-01-09,21.00,0
        000003.XSHE,2025-01-10,22.00,2000
        000300.XSHG,2025-01-02,3900.5,123456789
        """,
    "navs": """\
        order_book_id,date,adjusted_net_value
        000001.OF,2025-01-02,1.2345
        000001.OF,2025-01-06,1.2400
        """,
    "industries": """\
        order_book_id,index_code,index_name,start_date,end_date
        600001.XSHG,801780,银行,2020-01-02,2025-01-06
        600001.XSHG,801790,非银金融,2025-01-07,
        600002.XSHG,801960,石油石化,2025-01-06,2025-01-12
        """,
    "index_members": """\
        index_id,order_book_id,start_date,end_date
        000300.XSHG,600001.XSHG,2020-01-02,
        000300.XSHG,600002.XSHG,2025-01-06,2025-01-10
        """,
}


def write_csv(folder: Path, name: str, text: str) -> Path:
    p = folder / name
    p.write_text(textwrap.dedent(text), encoding="utf-8")
    return p


def file_hash(path) -> str:
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


@pytest.fixture(autouse=True)
def client_isolation(tmp_path_factory, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path_factory.mktemp("cache")))
    monkeypatch.delenv(veladatac.ENV_VAR, raising=False)
    veladatac.init(None)
    yield
    veladatac.init(None)


@pytest.fixture(scope="session")
def small_store(tmp_path_factory):
    return sample.build_store(tmp_path_factory.mktemp("small") / "small.sqlite", **SMALL)


@pytest.fixture(scope="session")
def known_store(tmp_path_factory):
    folder = tmp_path_factory.mktemp("known")
    files = [(kind, write_csv(folder, f"{kind}.csv", text)) for kind, text in KNOWN_CSV.items()]
    return import_files(folder / "known.sqlite", files).store


@pytest.fixture
def on_small(small_store):
    veladatac.init(small_store.path)
    return small_store


@pytest.fixture
def on_known(known_store):
    veladatac.init(known_store)
    return known_store


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    """A sample store for the command line's tests; it ends before today, so that every date in it
    may be asked for."""
    return sample.build_store(
        tmp_path_factory.mktemp("cli") / "s.sqlite",
        n_stocks=24,
        n_funds=6,
        start="2025-01-01",
        end="2026-06-30",
        seed=5,
    )


@pytest.fixture
def run(capsys):
    """vela-optimize's main() on a store: (status, stdout, stderr)."""
    from vela_optimizer import cli

    def go(store_path, *args):
        status = cli.main([*map(str, args), "--store", str(store_path)])
        out, err = capsys.readouterr()
        return status, out, err

    return go
