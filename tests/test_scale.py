# The Dask example: the cluster's values against a serial run, a panic in a task at the client.
import sys
from pathlib import Path

import pytest

from conftest import UNDER_ASAN
from model import similarities as model_similarities

if UNDER_ASAN:
    pytest.skip("worker processes would load pandas under the preloaded ASan runtime",
                allow_module_level=True)
if sys.version_info < (3, 14):
    pytest.skip("the environment's pandas and Dask are built for Python 3.14 and 3.15 only",
                allow_module_level=True)

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import dask_pairs  # noqa: E402
from dask.distributed import Client  # noqa: E402

# Bounds every wait on the cluster, so that a task that never finishes fails instead of hanging.
WAIT = 120


@pytest.fixture(scope="module")
def client():
    with dask_pairs.local_cluster(2) as cluster, Client(cluster) as client:
        yield client


def test_cluster_matches_serial_runs_of_the_example_and_the_model(client):
    table = dask_pairs.random_table(2_000, variant=5)
    scored = dask_pairs.similarities(table, client, chunk_rows=300, timeout=WAIT)
    expected = [
        model_similarities(source, target, [length])[0]
        for source, target, length in zip(table["source"], table["target"], table["length"])
    ]
    assert list(scored.index) == list(table.index)
    assert list(scored) == list(dask_pairs.score_chunk(table)) == expected


def test_panic_in_a_task_reaches_the_client_as_an_ordinary_error(client):
    table = dask_pairs.random_table(600, variant=6)
    table.loc[450] = ["abc", "abd", 9]
    with pytest.raises(dask_pairs.CorvanePanicError) as caught:
        dask_pairs.similarities(table, client, chunk_rows=200, timeout=WAIT)
    assert caught.value.args == ("index out of bounds: the len is 4 but the index is 9",)
    # The cluster is still usable afterwards.
    healthy = table.drop(index=450)
    assert len(dask_pairs.similarities(healthy, client, timeout=WAIT)) == len(healthy)
