import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
from harness import ENGINES, Server  # noqa: E402


@pytest.fixture(params=ENGINES)
def engine(request):
    return request.param


@pytest.fixture
def server(engine):
    with Server(engine) as srv:
        yield srv
