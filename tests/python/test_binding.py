"""Errors and the binding's guards: every failure raises by its result code
with the library's own message (the English table holds exactly the
library's messages, decoded here from the C source); the binding cannot be
made to read or write outside the caller's arrays, also under
AddressSanitizer; and each failure carries its own call's message under
threads."""
import gc
import re
import threading

import numpy as np
import pytest
from api_misuse import CASES, ROOT, run_under_asan, sanitizer_library

from quelmar import core
from quelmar.common.errors import ENGLISH, InvalidArgumentError, LibraryFailure, OutOfRangeError

ASAN_BUILD = ROOT / "build-asan"
CODES = {InvalidArgumentError: 10, OutOfRangeError: 20, LibraryFailure: 100}

#: Failing calls with distinct messages (None: not compared).
FAILING = [
    (lambda: core.increasing(0.0, 1.0, 0), InvalidArgumentError, "length 长度必需大于0"),
    (lambda: core.cubic_interpolation([1, 2], [1, 2], [1.5]), InvalidArgumentError, "数组长度应该大于等于3。"),
    (lambda: core.calc_threshold(core.new_records(1), np.full((1, 8), 500.0)), OutOfRangeError, "end下标越界。"),
    (lambda: core.calc_rq((1, 0, 1, 0, 1), [5.5, 1.2, 0.7, 3], 3.5), OutOfRangeError, "参数错误。"),
    (lambda: core.calc_sd((1,), [0, 1, 2, 15, 16]), InvalidArgumentError, "数据格式有误，靶标基因或管家基因为空。"),
    (lambda: core.MgfHandle(np.arange(20.0), -2.0 - np.sin(np.arange(20.0))).local_max_value_id(), LibraryFailure,
     "峰值小于零"),
    (lambda: core.mgf_local_max_value_id_origin([1.0, 2.0], [1.0, 2.0, 3.0]).close(), InvalidArgumentError, None),
]
#: Calls that succeed: a success resets the library's one message.
SUCCEEDING = [lambda: core.calc_standard([1.0, 2, 3], [2.0, 4, 6]), lambda: core.run_smooth(np.arange(20.0))]
ROUNDS = 150


def _library_messages():
    text = (ROOT / "src" / "base" / "messages.h").read_text(encoding="utf-8")
    messages = set()
    for literal in re.findall(r'^inline constexpr char k\w+\[\] = ((?:"[^"]*"\s*)+);', text, re.MULTILINE):
        pieces = re.findall(r'"((?:[^"\\]|\\.)*)"', literal)  # adjacent literals end a \x escape early
        raw = b"".join(re.sub(r"\\x([0-9a-fA-F]{2})", lambda m: chr(int(m.group(1), 16)), p).encode("latin-1")
                       for p in pieces)
        messages.add(raw.decode("gbk"))
    return messages


def test_the_english_table_is_the_library_message_set():
    library = _library_messages()
    assert len(library) == 27 and set(ENGLISH) == library


@pytest.mark.parametrize("call, kind, message", FAILING[:-1])
def test_failures_raise_by_code_with_the_message(call, kind, message):
    with pytest.raises(kind) as caught:
        call()
    error = caught.value
    assert error.code == CODES[kind] and error.message == message and error.raw == message.encode("gbk")
    assert error.english == ENGLISH[message] and error.english in str(error) and core.last_error() == error.raw


@pytest.mark.parametrize("name, call, expected", CASES, ids=[c[0] for c in CASES])
def test_misuse_ends_in_a_clean_exception_or_a_correct_result(name, call, expected):
    if expected is None:
        call()
    else:
        with pytest.raises(expected) as caught:
            call()
        assert type(caught.value) is expected and str(caught.value)


@pytest.mark.skipif(not sanitizer_library(ASAN_BUILD).exists(), reason="no AddressSanitizer build in build-asan/")
def test_misuse_under_address_sanitizer():
    done = run_under_asan(ASAN_BUILD)
    assert "AddressSanitizer" not in done.stderr and "runtime error" not in done.stderr, done.stderr[-4000:]
    assert done.returncode == 0 and f"{len(CASES)} cases" in done.stdout and ", 0 ended otherwise" in done.stdout, \
        done.stdout + done.stderr[-2000:]


def test_every_exception_carries_its_own_calls_message_under_eight_threads():
    failing = FAILING[:5] + FAILING[6:]
    expected = []
    for call, kind, _ in failing:  # the message each failing call gives when alone
        with pytest.raises(kind) as caught:
            call()
        expected.append(caught.value.message)
    wrong, start = [], threading.Barrier(len(failing) + len(SUCCEEDING))

    def fail(k):
        start.wait()
        for _ in range(ROUNDS):
            try:
                failing[k][0]()
            except failing[k][1] as e:
                if e.message != expected[k] or e.raw != expected[k].encode("gbk"):
                    wrong.append((k, e.message))
            else:
                wrong.append((k, "no exception"))

    def succeed(k):
        start.wait()
        for _ in range(2 * ROUNDS):
            SUCCEEDING[k]()

    threads = ([threading.Thread(target=fail, args=(k,)) for k in range(len(failing))]
               + [threading.Thread(target=succeed, args=(k,)) for k in range(len(SUCCEEDING))])
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(threads) == 8 and wrong == []


def test_objects_released_by_the_collector_inside_a_call_keep_the_message():
    """A finalizer that runs during a failing call must not reset its message."""
    gc.collect()
    live = dict(core.live_objects)
    for _ in range(200):
        core.GaussCoeff([1.0], [70.0], [0.5])  # garbage at once, released by the finalizer
        with pytest.raises(InvalidArgumentError) as caught:
            core.increasing(0.0, 1.0, 0)
        assert caught.value.message == "length 长度必需大于0"
    gc.collect()
    assert dict(core.live_objects) == live
