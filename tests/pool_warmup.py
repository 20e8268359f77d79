"""Preloaded by a forkserver: importing it makes the worker pool exist in the
server process, so every child is forked from a process that has a pool but
none of its worker threads. `scores` is what the children run."""

import os
import sys

import numpy as np

import _velk

# 20,000 rows of width 4 are more than one task, so the scoring runs on the workers.
_velk.top_k_flat_np(np.ones(4, np.float32), np.ones((20_000, 4), np.float32), 4, 3)
WARMED_IN = os.getpid()


def scores(seed):
    rng = np.random.default_rng(seed)
    rows = rng.standard_normal((30_000, 4)).astype(np.float32)
    from_buffers = _velk.top_k_flat_np(rows[seed], rows, 4, 5)
    from_lists = _velk.top_k_flat(rows[seed].tolist(), rows.ravel().tolist(), 4, 5)
    forked_from_pooled_server = "pool_warmup" in sys.modules and os.getpid() != WARMED_IN
    return from_buffers, from_lists, forked_from_pooled_server
