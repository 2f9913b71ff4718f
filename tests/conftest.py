"""Starts the native builds that the collected tests need (see
native_builds.py) in the background, and runs the tests that use them last,
so that compiling overlaps the Python tests."""

import os

import pytest

from native_builds import BUILDS, FIXTURES

# Programs the tests start (the command line, fresh interpreters) run in
# other directories: a relative PYTHONPATH, as in the development loop, is
# made absolute so that they import this checkout and not an installed copy.
if os.environ.get("PYTHONPATH"):
    os.environ["PYTHONPATH"] = os.pathsep.join(
        os.path.abspath(p) for p in os.environ["PYTHONPATH"].split(os.pathsep) if p)


def _builds_used(item) -> set[str]:
    return {BUILDS[FIXTURES[f]].name for f in getattr(item, "fixturenames", ()) if f in FIXTURES}


# Last, so that the tests deselected by -k or -m are gone.
@pytest.hookimpl(trylast=True)
def pytest_collection_modifyitems(config, items):
    used = [_builds_used(item) for item in items]
    needed = set().union(*used)
    if not needed:
        return
    # A stable partition: the Python tests first, in their order, then the
    # native ones, in theirs.
    order = sorted(range(len(items)), key=lambda i: bool(used[i]))
    items[:] = [items[i] for i in order]
    if not config.option.collectonly:
        for name in sorted(needed):
            BUILDS[name].start()


def pytest_unconfigure(config):
    # A run that ends early (-x, an interrupt) does not wait for a build.
    for build in BUILDS.values():
        build.stop()
