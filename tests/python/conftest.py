"""Fixtures for the tests of the extension module rowmerge._native."""

from __future__ import annotations

import importlib.util
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import numpy as np
import pytest

HERE = Path(__file__).resolve().parent


@pytest.fixture
def pd():
    """pandas, for the tests of merge_frame; they skip in a Python without it."""
    return pytest.importorskip("pandas", reason="merge_frame needs pandas, which this Python lacks")


@pytest.fixture(scope="session")
def native():
    from rowmerge import _native

    return _native


@pytest.fixture(scope="session")
def merge(native):
    return native.merge_points_removing_overlap


@pytest.fixture(scope="session")
def panic_type(merge):
    """pyo3_runtime.PanicException, caught from a call that aborts."""
    connected = np.array([[0.0, 1.0, 1.0, np.nan]])
    try:
        merge(connected, np.zeros((0, 4)), np.zeros((0, 11)), 0.1, 1)
    except BaseException as e:  # noqa: BLE001 - the class is what we are after
        return type(e)
    pytest.fail("a base crop row without a record did not abort")


def build_peer(directory: Path) -> Path:
    """Compiles borrow_peer.c into an extension module in `directory`."""
    compiler = (sysconfig.get_config_var("CC") or "cc").split()
    target = directory / ("_borrow_peer" + sysconfig.get_config_var("EXT_SUFFIX"))
    command = [*compiler, "-shared", "-fPIC", "-O1", "-I", sysconfig.get_paths()["include"],
               str(HERE / "borrow_peer.c"), "-o", str(target)]
    subprocess.run(command, check=True, capture_output=True, text=True)
    return target


@pytest.fixture(scope="session")
def peer_path(tmp_path_factory) -> Path:
    """The borrow peer module: ROWMERGE_BORROW_PEER, or built here."""
    prebuilt = os.environ.get("ROWMERGE_BORROW_PEER")
    if prebuilt:
        return Path(prebuilt)
    return build_peer(tmp_path_factory.mktemp("peer"))


def load_peer(path: Path):
    if "_borrow_peer" in sys.modules:
        return sys.modules["_borrow_peer"]
    spec = importlib.util.spec_from_file_location("_borrow_peer", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules["_borrow_peer"] = module
    return module


@pytest.fixture(scope="session")
def peer(peer_path, merge):
    # One call first, so that the registry capsule is published.
    merge(np.zeros((0, 11)), np.zeros((0, 4)), np.zeros((0, 11)), 0.1, 1)
    return load_peer(peer_path)


@pytest.fixture(scope="module")
def dask_client():
    """A Dask client on a local cluster of two worker processes with one
    thread each, started once, by the one module that uses it
    (test_dask.py), and closed after it: the cluster's threads would
    otherwise live on in this process through the tests that fork it."""
    pytest.importorskip("dask.dataframe", reason="rowmerge.dask needs dask: pip install 'rowmerge[dask]'")
    distributed = pytest.importorskip("distributed",
                                      reason="the cluster tests need distributed: pip install 'rowmerge[dask]'")
    cluster = distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1,
                                       dashboard_address=None, env={"NO_COLOR": "1"})
    with cluster, distributed.Client(cluster) as client:
        yield client
