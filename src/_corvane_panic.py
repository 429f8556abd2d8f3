"""Pickling of corvane's PanicException. Private: nothing here is meant to be called directly.

The type is created inside the extension module when it is first needed, under the name
pyo3_runtime.PanicException, which no importable module holds, so the type cannot be pickled by
reference. The extension hands each process's type to `_install`, which gives it a reduction:
an instance travels as its arguments and is rebuilt as the receiving process's own type, with
corvane imported there first if it was not already.
"""

from collections.abc import Sequence

_panic_type = None


def _install(panic_type):
    global _panic_type

    def __reduce__(error):
        # Subclasses are ordinary classes, pickled by reference as usual.
        if type(error) is not panic_type:
            return BaseException.__reduce__(error)
        # Attributes set on the instance, notes among them, travel as its state.
        return _rebuild, error.args, error.__dict__ or None

    panic_type.__reduce__ = __reduce__
    _panic_type = panic_type


def _rebuild(*args):
    return _receiving_type()(*args)


class _Probe(Exception):
    pass


class _RefusedLengths(Sequence):
    def __len__(self):
        raise _Probe

    def __getitem__(self, index):
        raise _Probe


def _receiving_type():
    if _panic_type is None:
        import corvane

        # The extension creates the type the first time it takes an exception raised by Python
        # code, which this call does without a panic (and so without a report on stderr).
        try:
            corvane.compute_lcs_similarity("", "", _RefusedLengths())
        except _Probe:
            pass
    if _panic_type is None:
        raise RuntimeError("corvane did not hand over its PanicException type")
    return _panic_type
