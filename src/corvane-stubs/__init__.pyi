"""Longest-common-subsequence similarity of one string with many prefixes of another.

The runtime module is a native extension; this stub package holds its types and documentation.
"""

from collections.abc import Sequence
from typing import SupportsIndex

__all__ = ["compute_lcs_similarity"]

def compute_lcs_similarity(
    source: str,
    target: str,
    length_of_prefixes_of_target: Sequence[SupportsIndex],
) -> list[float]:
    """Similarity of `source` with each requested prefix of `target`, from one LCS pass.

    Returns one float per entry of `length_of_prefixes_of_target`, in the order given (duplicates
    kept). For a length L:

    - L == 0: 1.0;
    - otherwise 2 * LCS(source, target[:L]) / (Sb + L), where LCS counts code points and Sb is the
      UTF-8 byte length of `source`;
    - L beyond the code points of `target` but within its UTF-8 byte length: 0.0;
    - L beyond the UTF-8 byte length of `target`: PanicException.

    Strings are compared code point by code point, without normalisation or case folding. For
    ASCII text the value is 2 * LCS / (len(source) + L); for other text the units mix on purpose
    (bytes of `source`, code points of the prefix): compute_lcs_similarity("é", "é", [1, 2]) is
    [2/3, 0.0].

    Raises:
        TypeError: a missing, repeated or unknown argument; `source` or `target` not a str; lengths
            not a sequence, or an item that is not an integer. Conversion messages name the
            argument, e.g. "argument 'source': 'int' object cannot be cast as 'str'".
        OverflowError: a length below 0 or of 2**64 or more.
        UnicodeEncodeError: `source` or `target` holds a lone surrogate.
        MemoryError: the memory the call needs is not available.
        PanicException: an internal failure, e.g. a length beyond the UTF-8 byte length of
            `target`. Its qualified name is pyo3_runtime.PanicException and it derives from
            BaseException, not Exception, so `except Exception` does not catch it.

    Any exception raised while iterating the lengths or by an item's __index__ passes through (a
    TypeError gets the argument prefix, its original kept as __cause__).
    """
