"""The local Dask cluster the tests of korel.distributed share: two worker
processes, dashboards on free ports, every wait bounded, always closed."""

import contextlib

import distributed


@contextlib.contextmanager
def local_client(timeout):
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
        death_timeout=timeout,
    )
    try:
        with distributed.Client(cluster, timeout=timeout) as client:
            client.wait_for_workers(2, timeout=timeout)
            yield client
    finally:
        cluster.close(timeout=timeout)
