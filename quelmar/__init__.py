"""quelmar: Python access to libQuelmarAlg, the qPCR analysis library.

``quelmar.core`` has one function per export of the C interface;
``quelmar.analysis`` the analyses a host runs (amplification, melting,
standard curve, replicate statistics, relative quantification);
``quelmar.rdml`` and ``quelmar.csvplate`` read plates; ``python3 -m quelmar``
is the command, whose analyses of one file each (``quelmar.jobs``) return the
typed results of ``quelmar.results``.
"""
try:
    import numpy as _numpy  # noqa: F401
except ImportError as _error:  # the command re-runs itself under an interpreter that has numpy
    _missing = str(_error)

    def __getattr__(name):
        raise ImportError(f"quelmar needs numpy, which this Python does not have "
                          f"(try /usr/bin/python3): {_missing}")
else:
    from .errors import (QuelmarError, InvalidArgumentError, OutOfRangeError, LibraryFailure,  # noqa: F401
                         LibraryNotFoundError, ReaderError)
    from .core import LIBRARY_PATH, RECORD_DTYPE, GaussCoeff, MgfHandle, version  # noqa: F401
    from .analysis import (analyze_amplification, analyze_melt, standard_curve, replicate_statistics,  # noqa: F401
                           relative_quantification)
    from .rdml import read_rdml  # noqa: F401
    from .csvplate import read_csv  # noqa: F401
