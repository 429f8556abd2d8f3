from collections.abc import Sequence
from typing import SupportsIndex

__all__ = ["compute_lcs_similarity"]

def compute_lcs_similarity(
    source: str,
    target: str,
    length_of_prefixes_of_target: Sequence[SupportsIndex],
) -> list[float]: ...
