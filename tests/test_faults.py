"""A short fault-injection soak in the normal suite; tests/soak.py runs the long one."""
import pytest

import soak
from conftest import PORT, SERVER, TOOL

SEED = 20261206
RUNS = 40


@pytest.fixture(scope="module")
def rig(certs, tmp_path_factory):
    s = soak.Soak(TOOL, SERVER, PORT, certs.ca_dir, *certs.good, tmp_path_factory.mktemp("faults"))
    yield s
    s.close()


# Exit 0 only with the whole report stored once; exit 1 with nothing or, the
# reply lost, one whole copy stored; never a partial copy, a hang or a signal.
@pytest.mark.parametrize("i", range(RUNS), ids=[f"{i}-{soak.draw(SEED, i).name}" for i in range(RUNS)])
def test_cut_transfer_never_passes_for_delivery(rig, i):
    outcome, detail = rig.run(SEED, i)
    assert outcome != "violation", f"{detail}\nreplay: tests/soak.py --seed {SEED} --first {i} --runs 1"
