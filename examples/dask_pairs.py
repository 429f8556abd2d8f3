"""Similarities for a large table of pairs on a Dask cluster.

    python3 examples/dask_pairs.py [--rows N] [--workers N] [--scheduler ADDRESS]

The table has one row per pair: `source`, `target` and `length`, the prefix of `target` to compare
with. Without --scheduler the script starts a LocalCluster of worker processes on this machine;
with --scheduler tcp://host:8786 the same code runs on an existing cluster, whose workers need
corvane installed (and this file importable, or sent with client.upload_file).

A PanicException derives from BaseException, not Exception, and a task that lets one escape takes
the worker's event loop down with it: the client's future.result() then waits forever. Every call
of corvane in a task therefore goes through `ordinary_errors`, which re-raises a panic as
CorvanePanicError, an ordinary exception with the same message. Dask hands that to the client as it
does any task error; the same pattern suits other event-loop frameworks.
"""

import argparse
import functools
import random
import string
import time

import pandas as pd
from dask.distributed import Client, LocalCluster

import corvane


class CorvanePanicError(RuntimeError):
    """corvane's PanicException, raised in a task, as an ordinary exception with its message."""


def is_panic(error):
    kind = type(error)
    return kind.__module__ == "pyo3_runtime" and kind.__qualname__ == "PanicException"


def ordinary_errors(function):
    """Makes a panic raised by `function` a CorvanePanicError; everything else passes as is."""

    @functools.wraps(function)
    def checked(*args, **kwargs):
        try:
            return function(*args, **kwargs)
        except BaseException as error:
            if is_panic(error):
                raise CorvanePanicError(*error.args) from None
            raise

    return checked


@ordinary_errors
def score_chunk(chunk):
    """The similarity of each row's source with its target's prefix, as a Series on the chunk's
    index."""
    compute = corvane.compute_lcs_similarity
    values = [
        compute(source, target, [length])[0]
        for source, target, length in zip(chunk["source"], chunk["target"], chunk["length"])
    ]
    return pd.Series(values, index=chunk.index, name="similarity")


def similarities(table, client, chunk_rows=50_000, timeout=None):
    """Scores `table` on the cluster behind `client`, a chunk of rows per task. A task error is
    raised here; `timeout` (seconds) bounds the wait for each chunk."""
    chunks = [table.iloc[start : start + chunk_rows] for start in range(0, len(table), chunk_rows)]
    futures = client.map(score_chunk, client.scatter(chunks))
    return pd.concat([future.result(timeout=timeout) for future in futures])


def local_cluster(workers):
    """Worker processes on this machine, one thread each, no dashboard."""
    return LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
    )


def random_table(rows, variant=0):
    generator = random.Random(variant)
    letters = string.ascii_lowercase[:8]

    def text():
        return "".join(generator.choices(letters, k=generator.randint(0, 24)))

    sources = [text() for _ in range(rows)]
    targets = [text() for _ in range(rows)]
    lengths = [generator.randint(0, len(target)) for target in targets]
    return pd.DataFrame({"source": sources, "target": targets, "length": lengths})


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--scheduler", help="address of an existing scheduler")
    options = parser.parse_args()

    table = random_table(options.rows)
    cluster = None if options.scheduler else local_cluster(options.workers)
    with Client(options.scheduler or cluster) as client:
        start = time.perf_counter()
        scored = table.assign(similarity=similarities(table, client))
        elapsed = time.perf_counter() - start
        print(scored.head(10).to_string())
        print(f"{len(scored):,} pairs in {elapsed:.2f} s on {len(client.nthreads())} workers")
    if cluster is not None:
        cluster.close()


if __name__ == "__main__":
    main()
