"""The instrument kind check: lookup chosen by the first id, messages, one call per id."""

import pytest

from conftest import Record, fund, stock


@pytest.fixture
def client(fake_client):
    fake_client.stocks = {"S1": stock("S1"), "S2": stock("S2"), "IDX": Record("IDX", "INDX")}
    fake_client.funds = {"F1": fund("F1"), "F2": fund("F2"), "B1": Record("B1", "Bond", fund_type="Bond")}
    return fake_client


@pytest.mark.parametrize(
    "ids, result, calls",
    [
        (["S1", "S2"], "CS", [("instruments", "S1"), ("instruments", "S2")]),
        (["F1", "F2"], "PublicFund", [("instruments", "F1"), ("fund.instruments", "F1"), ("fund.instruments", "F2")]),
        (["S1", "S1"], "CS", [("instruments", "S1"), ("instruments", "S1")]),
    ],
)
def test_common_kind_and_calls(optimizer, client, ids, result, calls):
    assert optimizer._ensure_same_type_instruments(ids) == result
    assert [(op, args[0]) for op, args, _ in client.calls] == calls


@pytest.mark.parametrize(
    "ids, message, n_calls",
    [
        (["X", "S1"], "unknown instrument: X", 2),
        (["S1", "F1", "S2"], "unknown instrument F1 for type CS", 2),
        (["F1", "S1"], "unknown instrument S1 for type PublicFund", 3),
        (["S1", "IDX", "X"], "传入的合约应该为统一类型，S1(CS) 和 IDX(INDX) 类型不同", 2),
        (["F1", "B1"], "传入的合约应该为统一类型，F1(PublicFund) 和 B1(Bond) 类型不同", 3),
    ],
)
def test_refusals_stop_at_the_first_failing_id(optimizer, client, ids, message, n_calls):
    with pytest.raises(optimizer.InvalidArgument) as e:
        optimizer._ensure_same_type_instruments(ids)
    assert e.value.args == (message,)
    assert len(client.calls) == n_calls


def test_client_errors_propagate(optimizer, client):
    def boom(_):
        raise ConnectionError("down")

    client.instruments = boom
    with pytest.raises(ConnectionError, match="down"):
        optimizer._ensure_same_type_instruments(["S1", "S2"])
