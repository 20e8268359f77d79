# Type stub for the _velk extension module, installed beside the shared library.
#
# Every parameter is positional-or-keyword and required. Scores are 32-bit
# floats widened exactly to Python floats; results are (row index, score)
# tuples, best first.
from collections.abc import Buffer, Sequence
from typing import Final, SupportsFloat, SupportsIndex

__all__: Final = ["cosine_similarity", "top_k", "top_k_flat", "top_k_flat_np"]

# An element is narrowed to float32 through __float__ or __index__ (float, int,
# bool, numpy scalars, ...). A str is a Sequence[str] and so is refused here
# too, as it is at run time.
type _Number = SupportsFloat | SupportsIndex
type _Vector = Sequence[_Number]
type _Hits = list[tuple[int, float]]

def cosine_similarity(a: _Vector, b: _Vector) -> float: ...
def top_k(query: _Vector, embeddings: Sequence[_Vector], k: SupportsIndex) -> _Hits: ...
def top_k_flat(query: _Vector, embeddings: _Vector, dim: SupportsIndex, k: SupportsIndex) -> _Hits: ...
def top_k_flat_np(query: Buffer, embeddings: Buffer, dim: SupportsIndex, k: SupportsIndex) -> _Hits:
    """Zero-copy variant — accepts numpy float32 arrays via the Python buffer protocol.
    The caller must ensure the arrays are C-contiguous float32."""
