"""The pytest plugin of the camera simulator: the fixture `asi_sim`.

Installed with the package, pytest loads it by itself (entry point `pytest11`); from a
source tree, load it with `-p halvarine.corvantis.pytest_plugin`.

    def test_retries_a_timeout(asi_sim: ModuleType) -> None:
        asi_sim.fail("ASIGetVideoData", asi.ASITimeout, times=2)
        ...
"""

from __future__ import annotations

from collections.abc import Iterator
from types import ModuleType

import pytest


@pytest.fixture
def asi_sim() -> Iterator[ModuleType]:
    """The module `halvarine.corvantis.sim`, with the simulator reset before the test and
    again after it, passed or failed: no failures armed, no scripts, journal and fast
    frames off, the default configuration, every camera closed.

    The test is skipped when the ASICamera2 library asi loaded is not the simulator."""
    # Imported here rather than at plugin load: pytest loads installed plugins in every
    # session, and only tests that ask for the simulator should load the camera SDK.
    from halvarine.corvantis import sim

    if not sim.available():
        try:
            loaded = f"asi loaded {sim.loaded_library()}"
        except (OSError, RuntimeError) as error:
            loaded = str(error)
        pytest.skip(f"asi_sim needs the simulated cameras; {loaded}")
    sim.reset()
    try:
        yield sim
    finally:
        sim._stop_journals()
        sim.reset()
