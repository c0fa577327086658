# A real two-worker cluster on 127.0.0.1 for the Dask tests, and a bounded compute on it.
import logging

import numpy as np
import pytest

pytest.importorskip("distributed")

from distributed import Client, wait  # noqa: E402

import lumerix.dask as ldx  # noqa: E402

LIMIT_S = 120  # no test waits longer for its results


@pytest.fixture(scope="module")
def client():
    with ldx.cluster(2, silence_logs=logging.ERROR) as cluster, Client(cluster) as c:
        c.wait_for_workers(2, timeout=LIMIT_S)
        yield c


def compute(client, *graphs):
    futures = client.compute(list(graphs))
    wait(futures, timeout=LIMIT_S)
    return client.gather(futures)


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(
        np.ascontiguousarray(a).view(np.uint8), np.ascontiguousarray(b).view(np.uint8))
