"""Every exception of the package, in one place.

Failed library calls raise a subclass of :class:`QuelmarError` chosen by the
result code (10, 20, 100). The library's messages are Chinese texts in GBK;
each error carries the decoded text and an English rendering of it.
"""
from .text import printable

ENGLISH = {
    "两向量长度不等，元素个数不同不能相加。": "The two vectors differ in length; they cannot be added.",
    "两向量长度不等，元素个数不同不能相减。": "The two vectors differ in length; they cannot be subtracted.",
    "两向量长度不等，元素个数不同不能相乘。": "The two vectors differ in length; they cannot be multiplied.",
    "开始下标不能大于结束下标。": "The start index must not lie after the end index.",
    "end下标越界。": "The end index is out of range.",
    "左矩阵列数与右矩阵行数不同，不能相乘。":
        "The left matrix's column count differs from the right matrix's row count; they cannot be multiplied.",
    "矩阵列数与列向量长度不同，不能进行矩阵左乘！":
        "The matrix's column count differs from the vector's length; they cannot be multiplied!",
    "不是方阵，无法求逆矩阵。": "Not a square matrix; it cannot be inverted.",
    "length 长度必需大于0": "length must be greater than 0",
    "长度必需为 cycleCount * wellCount": "The length must be cycleCount * wellCount",
    "数组长度应该大于等于3。": "The arrays must hold at least 3 values.",
    "数组长度应该相等。": "The arrays must have equal lengths.",
    "数组过少无法操作。": "Too few values to work on.",
    "温度数据不能小于4个。": "At least 4 temperatures are needed.",
    "F参数数据长度不能过小。": "The F argument holds too few values.",
    "GaussCoeff 数据无效。": "The GaussCoeff data is invalid.",
    "峰值小于零": "A peak is not above zero",
    "输入参数错误。": "Invalid input.",
    "数据格式有误，靶标基因或管家基因为空。": "Bad data layout: the target gene or the reference genes are empty.",
    "误差条类型参数不正确。": "Invalid error bar type.",
    "参数错误。": "Invalid parameter.",
    "循环数过少，线性窗口分析至少需要12个循环。": "Too few cycles: the window-of-linearity analysis needs at least 12.",
    "靶标序号超出靶标个数。": "A target index is not below the number of targets.",
    "靶标个数必须大于0。": "The number of targets must be greater than 0.",
    "bad allocation": "Out of memory (bad allocation).",
    "bad array new length": "Array too large to allocate (bad array new length).",
    "Unknown exception": "Unknown exception.",
}


class QuelmarError(Exception):
    """Base of every error this package raises.

    Attributes
    ----------
    code : int or None
        The library's result code (10, 20 or 100), None for errors that do not
        come from a library call.
    message : str
        The library's message decoded from GBK, or the package's own text.
    english : str
        An English rendering of ``message``.
    """

    code = None

    def __init__(self, message, english=None):
        super().__init__(message if english is None or english == message else f"{english} ({message})")
        self.message = message
        self.english = message if english is None else english


class InvalidArgumentError(QuelmarError):
    """Result code 10: an argument or the data was refused."""
    code = 10


class OutOfRangeError(QuelmarError):
    """Result code 20: an index or a parameter out of range."""
    code = 20


class LibraryFailure(QuelmarError):
    """Result code 100: out of memory, or a numerical failure."""
    code = 100


class LibraryNotFoundError(QuelmarError):
    """No libQuelmarAlg could be loaded; the message names every place tried."""


class ReaderError(QuelmarError):
    """An input file is malformed, or past a reading limit; the message names the
    file and the element or the limit, on one line.

    Attributes
    ----------
    path : str
        The file as given (``<stdin>`` for standard input).
    problem : str
        The message without the file name.
    """

    def __init__(self, path, problem):
        # Control characters (a newline in a file or member name) escaped: a message stays one line.
        self.path, self.problem = printable(path), printable(problem)
        super().__init__(f"{self.path}: {self.problem}")


class NotAPlate(ReaderError):
    """A file that reads, but holds no plate (no cycles, no temperatures): the
    message says what the file looks like."""


class Named:
    """A setting named inside a message, which each caller words its own way.

    The analyses name their settings by field (``threshold``); the command
    shows the option that sets it (``--threshold``). A message made of parts
    keeps the two apart without parsing text, whatever a file or gene name
    holds.

    Attributes
    ----------
    name : str
        The setting's field in :class:`~quelmar.analysis.settings.AnalysisSettings`.
    text : str
        How the message reads without a caller's words (default: the name).
    """

    __slots__ = ("name", "text")

    def __init__(self, name, text=None):
        self.name, self.text = name, name if text is None else text

    def __str__(self):
        return self.text

    def __repr__(self):
        return f"Named({self.name!r})"


class InputError(QuelmarError):
    """Bad input found by an analysis; the message names the file.

    Built from parts: text, and :class:`Named` settings that :meth:`worded`
    can name as a caller does.
    """

    def __init__(self, *parts):
        self.parts = parts
        super().__init__("".join(map(str, parts)))

    def worded(self, name_of):
        """The message with each setting as ``name_of(Named)`` words it."""
        return "".join(name_of(p) if isinstance(p, Named) else str(p) for p in self.parts)


class OptionError(InputError, ValueError):
    """An analysis setting out of range, or one that does not fit the file."""


class ThresholdBelowCurves(OptionError):
    """A threshold below where every curve starts: each crossing would come before the first reading.

    Attributes
    ----------
    threshold, auto : float
        The threshold given and the plate's own, in the units of the caller's message.
    """

    def __init__(self, threshold, auto, where=""):
        self.threshold, self.auto = threshold, auto
        super().__init__(where, Named("threshold"), f" {threshold:g} lies below where the curves start: every "
                                                    f"crossing would come before the first reading (the plate's "
                                                    f"own threshold is {auto:.4g})")


class OutputError(ValueError):
    """An output path that cannot or must not be written."""


_BY_CODE = {cls.code: cls for cls in (InvalidArgumentError, OutOfRangeError, LibraryFailure)}


def from_code(code, raw):
    """The exception for a failed call.

    Parameters
    ----------
    code : int
        The result code returned by the export.
    raw : bytes
        The GBK bytes of ``get_last_error()``. A message cut at 255 bytes may
        end inside a character; that byte is replaced on decoding.

    Returns
    -------
    QuelmarError
        An instance of the subclass for ``code`` (the base class for a code the
        library never returns).
    """
    message = raw.decode("gbk", errors="replace")
    error = _BY_CODE.get(code, QuelmarError)(message, ENGLISH.get(message, message))
    if error.code is None:
        error.code = code
    error.raw = raw
    return error
