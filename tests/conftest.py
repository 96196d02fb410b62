"""Every test starts with a reset simulator and a journal recording its SDK calls (the
fixture `journal`), and gets back the module namespace as import made it, whatever the
test rebound or deleted. Tests steer the simulator through `halvarine.corvantis.sim`, as
a user's tests do."""

import pytest

import asi
from halvarine.corvantis import sim

_PRISTINE_NAMESPACE = dict(vars(asi))
_PRISTINE_TABLE = dict(asi.ASI_ERROR_CODE_TO_EXCEPTION)


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "unjournaled: the test runs with the simulator's journal off (its growth "
        "would look like a leak)")
    config.addinivalue_line(
        "markers", "build_tree: needs what only a build folder holds, not a wheel (the "
        "version probe, the simulator's C++ test drivers)")


@pytest.fixture(autouse=True)
def journal(request):
    """The SDK calls of the test so far (a recording sim.Journal; one that records
    nothing for a test marked unjournaled)."""
    sim.reset()
    if request.node.get_closest_marker("unjournaled"):
        yield sim.journal()
    else:
        with sim.journal() as recording:
            yield recording
    sim.reset()


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
def opened(journal):
    """Camera 0, opened and initialised; the journal cleared afterwards."""
    asi.open_camera(0)
    asi.init_camera(0)
    journal.clear()
    yield 0
