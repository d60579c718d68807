"""quelmar: Python access to libQuelmarAlg, the qPCR analysis library.

The package reads bottom-up, each folder a layer that imports only the
layers below it (the README's table of Python layers, checked by
``tests/python/test_layers.py``):

- ``common``: errors, plate positions, reading limits, the flag vocabulary;
- ``binding``: the library, loaded on first use, and ``core``, one function
  per export of the C interface;
- ``reading``: the RDML and CSV readers, what a file holds, sample sheets;
- ``results``: the typed results of the analyses of one file;
- ``analysis``: amplification, efficiency, melting, standard curves,
  relative quantification and the quality flags;
- ``writing``: tables (text, CSV, JSON) and plots; ``report``: the HTML page;
- ``command``: ``python3 -m quelmar``, its subcommands and per-file jobs.

The names below are the public API, imported on first use, so that
``import quelmar`` loads neither numpy nor the library.
"""
import importlib

#: Public name -> the module that holds it.
_PUBLIC = {
    **dict.fromkeys(("QuelmarError", "InvalidArgumentError", "OutOfRangeError", "LibraryFailure",
                     "LibraryNotFoundError", "ReaderError", "NotAPlate", "InputError", "OptionError"),
                    "quelmar.common.errors"),
    **dict.fromkeys(("LIBRARY_PATH", "RECORD_DTYPE", "GaussCoeff", "MgfHandle", "version"), "quelmar.binding.core"),
    "core": "quelmar.binding.core",
    "analyze_amplification": "quelmar.analysis.amplification",
    "analyze_melt": "quelmar.analysis.melting",
    **dict.fromkeys(("standard_curve", "replicate_statistics", "relative_quantification"),
                    "quelmar.analysis.statistics"),
    "read_rdml": "quelmar.reading.rdml",
    "read_csv": "quelmar.reading.csvplate",
    **dict.fromkeys(("read_plate", "guess_kind"), "quelmar.reading.kinds"),
    "Limits": "quelmar.common.limits",
}

__all__ = sorted(_PUBLIC)


def __getattr__(name):
    where = _PUBLIC.get(name)
    if where is None:
        raise AttributeError(f"module 'quelmar' has no attribute {name!r}")
    try:
        module = importlib.import_module(where)
    except ImportError as error:  # the command re-runs itself under an interpreter that has numpy
        if getattr(error, "name", None) != "numpy":
            raise
        raise ImportError(f"quelmar needs numpy, which this Python does not have "
                          f"(try /usr/bin/python3): {error}") from None
    value = module if name == "core" else getattr(module, name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_PUBLIC))
