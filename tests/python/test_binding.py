"""The binding cannot be made to read or write outside the caller's arrays, and
each failure carries its own call's message, also under threads."""
import threading

import numpy as np
import pytest
from api_misuse import CASES, ROOT, run_under_asan, sanitizer_library

from quelmar import core
from quelmar.errors import InvalidArgumentError, LibraryFailure, OutOfRangeError

ASAN_BUILD = ROOT / "build-asan"


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


# Failing calls with distinct messages, and calls that succeed (a success
# resets the library's one message).
FAILING = [
    (lambda: core.increasing(0.0, 1.0, 0), InvalidArgumentError, "length 长度必需大于0"),
    (lambda: core.cubic_interpolation([1, 2], [1, 2], [1.5]), InvalidArgumentError, "数组长度应该大于等于3。"),
    (lambda: core.calc_threshold(core.new_records(1), np.full((1, 8), 500.0)), OutOfRangeError, "end下标越界。"),
    (lambda: core.calc_rq((1, 0, 1, 0, 1), [5.5, 1.2, 0.7, 3], 3.5), OutOfRangeError, "参数错误。"),
    (lambda: core.calc_sd((1,), [0, 1, 2, 15, 16]), InvalidArgumentError, "数据格式有误，靶标基因或管家基因为空。"),
    (lambda: core.mgf_local_max_value_id_origin([1.0, 2.0], [1.0, 2.0, 3.0]).close(), InvalidArgumentError, None),
]
SUCCEEDING = [lambda: core.calc_standard([1.0, 2, 3], [2.0, 4, 6]), lambda: core.run_smooth(np.arange(20.0))]
ROUNDS = 150


def test_every_exception_carries_its_own_calls_message_under_eight_threads():
    expected = []
    for call, kind, message in FAILING:  # the message each failing call gives when alone
        with pytest.raises(kind) as caught:
            call()
        assert message is None or caught.value.message == message
        expected.append(caught.value.message)
    wrong, start = [], threading.Barrier(len(FAILING) + len(SUCCEEDING))

    def fail(k):
        start.wait()
        for _ in range(ROUNDS):
            try:
                FAILING[k][0]()
            except FAILING[k][1] as e:
                if e.message != expected[k] or e.raw != expected[k].encode("gbk"):
                    wrong.append((k, e.message))
            else:
                wrong.append((k, "no exception"))

    def succeed(k):
        start.wait()
        for _ in range(2 * ROUNDS):
            SUCCEEDING[k]()

    threads = ([threading.Thread(target=fail, args=(k,)) for k in range(len(FAILING))]
               + [threading.Thread(target=succeed, args=(k,)) for k in range(len(SUCCEEDING))])
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(threads) == 8 and wrong == []


def test_objects_released_by_the_collector_inside_a_call_keep_the_message():
    """A finalizer that runs during a failing call must not reset its message."""
    import gc
    gc.collect()
    live = dict(core.live_objects)
    for _ in range(200):
        core.GaussCoeff([1.0], [70.0], [0.5])  # garbage at once, released by the finalizer
        with pytest.raises(InvalidArgumentError) as caught:
            core.increasing(0.0, 1.0, 0)
        assert caught.value.message == "length 长度必需大于0"
    gc.collect()
    assert dict(core.live_objects) == live


def test_a_failure_leaves_in_out_records_and_every_input_untouched():
    records = core.new_records(2)
    records["baseline_start"] = [2, 3]
    plate = np.full((2, 8), 500.0)
    before, plate_before = records.tobytes(), plate.tobytes()
    with pytest.raises(OutOfRangeError):
        core.linear_batch_calc_ct(records, 100.0, plate)
    assert records.tobytes() == before and plate.tobytes() == plate_before


def test_huge_sizes_are_refused_before_any_call():
    with pytest.raises(LibraryFailure):
        core.increasing(0.0, 1.0, 2 ** 60)
    with pytest.raises(ValueError):
        core.new_records(-1)
