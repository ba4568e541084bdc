"""A short fault-injection soak in the normal suite; bench/soak.py runs the long one."""
import pytest

import outbox_soak
import soak
from faultproxy import Fault
from support import show

SEED, RUNS = 20261206, 40


@pytest.fixture(scope="module")
def rig(certs, tmp_path_factory, request):
    """The server, with --dedup when the test asks for it; one rig at a time holds the tool's port."""
    s = soak.Soak(certs.ca_dir, certs.good, tmp_path_factory.mktemp("faults"), dedup=request.param)
    yield s
    s.close()


# Exit 0 only with the whole report stored once; exit 1 with nothing or, the
# reply lost, one whole copy stored; never a partial copy, a hang or a signal.
@pytest.mark.parametrize("rig", [False], indirect=True, ids=[""])
@pytest.mark.parametrize("i", range(RUNS), ids=[f"{i}-{soak.draw(SEED, i).name}" for i in range(RUNS)])
def test_cut_transfer_never_passes_for_delivery(rig, i):
    outcome, detail = rig.run(SEED, i)
    assert outcome != "violation", f"{detail}\nreplay: bench/soak.py --seed {SEED} --first {i} --runs 1"


@pytest.mark.parametrize("rig", [True], indirect=True, ids=["dedup"])
def test_retry_after_lost_reply_stores_once_with_dedup(rig):
    """The reply cut after the report was stored: exit 1, one copy; the caller's retry finds it."""
    report = b"stored, but the reply is lost\n" * 100
    down = rig.deliver(report, None)[4]["down"]
    for back in range(8, 400, 8):  # the close_notify and session tickets trail the reply
        rc, out, _, stored, _ = rig.deliver(report, Fault("close", "down", down - back, 0), keep=True)
        if rc == 1 and stored:
            break
        rig.take()
    assert (rc, list(stored.values())) == (1, [report]), out
    rc, out, err, retried, _ = rig.deliver(report, None)
    assert (rc, out, retried) == (0, b"", stored), show(out, err)


@pytest.mark.parametrize("rig", [True], indirect=True, ids=["dedup"])
def test_outbox_stores_each_report_once_through_faults_kills_and_restarts(rig, tmp_path):
    c = outbox_soak.run(rig, tmp_path, SEED, reports=40, largest=256 << 10)
    assert (c["lost"], c["duplicates"], c["corrupt"], c["failed-area"], c["left"]) == (0, 0, 0, 0, 0), c
