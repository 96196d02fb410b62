"""Every test starts with a reset substitute SDK, its journal on and empty, and gets back
the module namespace as import made it, whatever the test rebound or deleted."""

import pytest

import asi
from simsdk import Simulator

_SIMULATOR = Simulator()
_PRISTINE_NAMESPACE = dict(vars(asi))
_PRISTINE_TABLE = dict(asi.ASI_ERROR_CODE_TO_EXCEPTION)


@pytest.fixture(autouse=True)
def sim():
    _SIMULATOR.reset()
    _SIMULATOR.journal_on()
    yield _SIMULATOR
    _SIMULATOR.reset()


@pytest.fixture(autouse=True)
def _restore_namespace():
    yield
    namespace = vars(asi)
    # Restored in the original order too: tests check the order of the namespace.
    if list(namespace.items()) != list(_PRISTINE_NAMESPACE.items()):
        namespace.clear()
        namespace.update(_PRISTINE_NAMESPACE)
    table = _PRISTINE_NAMESPACE["ASI_ERROR_CODE_TO_EXCEPTION"]
    table.clear()
    table.update(_PRISTINE_TABLE)


@pytest.fixture
def opened(sim):
    """Camera 0, opened and initialised; the journal cleared afterwards."""
    asi.open_camera(0)
    asi.init_camera(0)
    sim.clear()
    yield 0
