# A plain Python model of compute_lcs_similarity, used as the oracle of the randomized tests.


class ModelFailure(Exception):
    """The model's form of a native failure: carries the message the module raises it with."""


def lcs_row(source, target):
    """The last row of the LCS table of `source` against `target`, by code points: entry j is the
    LCS length of `source` and the first j code points of `target`."""
    previous = [0] * (len(target) + 1)
    for c in source:
        current = [0] * (len(target) + 1)
        for j, d in enumerate(target):
            current[j + 1] = previous[j] + 1 if c == d else max(current[j], previous[j + 1])
        previous = current
    return previous


def similarities(source, target, lengths):
    """The list the module returns for these arguments, computed with the same double operations;
    raises ModelFailure with the module's message for the first length beyond the target's UTF-8
    byte length."""
    source_bytes = len(source.encode("utf-8"))
    target_bytes = len(target.encode("utf-8"))
    row = lcs_row(source, target)
    result = []
    for length in map(int, lengths):
        if length == 0:
            result.append(1.0)
            continue
        if length > target_bytes:
            raise ModelFailure(
                f"index out of bounds: the len is {target_bytes + 1} but the index is {length}"
            )
        x = float(row[length]) if length < len(row) else 0.0
        result.append((x + x) / float(source_bytes + length))
    return result
