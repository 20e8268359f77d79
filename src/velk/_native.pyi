# The compiled part of velk. Private: velk.search converts its queries with
# numpy, then calls this once.
from collections.abc import Buffer
from typing import Literal, SupportsIndex

import numpy as np
import numpy.typing as npt

def search(
    queries: Buffer,
    embeddings: Buffer,
    k: SupportsIndex,
    threads: SupportsIndex | None,
    where: Buffer | None,
    rows: Buffer | None,
    offsets: Buffer | None,
    storage: Literal["bfloat16"] | None,
    /,
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int64]]:
    """(scores, indices) of the top k of every query; the core runs without the interpreter lock."""
