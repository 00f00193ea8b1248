"""The process-wide random engine: the reference generator, the range rule, seeding, faults."""
import numpy as np
import pytest

from nubiro.cpu import pybind
from nubiro.cpu.pybind import _internal, utility


def reference_words(seed, n):
    """Raw outputs of numpy's legacy generator, which uses the reference initialisation."""
    return [int(w) for w in np.random.RandomState(seed)._bit_generator.random_raw(n)]


@pytest.mark.parametrize("seed, reference", [(5489, 5489), (0, 0), (-1, 4294967295), (-2**31, 2**31),
                                             (2**31 - 1, 2**31 - 1)])
def test_words_follow_the_reference_generator(seed, reference):
    utility.random.seed(seed)
    # 1300 words cross two regenerations of the state.
    assert _internal.random_words(1300) == reference_words(reference, 1300)


def test_seed_5489_gives_the_published_words():
    utility.random.seed(5489)
    words = _internal.random_words(10000)
    assert words[:3] == [3499211612, 581869302, 3890346734]
    assert words[-1] == 4123659995


def test_seed_replaces_the_whole_state():
    utility.random.seed(3)
    first = _internal.random_words(700)
    utility.random.seed(3)
    assert _internal.random_words(700) == first


def lemire(words, low, high):
    """The multiply-and-reject rule over a stream of 32-bit words; returns (value, words used)."""
    count = high - low + 1
    it = iter(words)
    used = 1
    m = next(it) * count
    if m % 2**32 < count:
        t = (2**32 - count) % count
        while m % 2**32 < t:
            m = next(it) * count
            used += 1
    return low + (m >> 32), used


@pytest.mark.parametrize("low, high", [(0, 9), (0, 2), (-5, 5), (7, 7), (-2**31, 0), (-2**31, 2**31 - 1)])
def test_uniform_int_follows_the_multiply_and_reject_rule(low, high):
    seed = 11
    words = reference_words(seed, 5000)
    utility.random.seed(seed)
    position = 0
    for _ in range(1000):
        expected, used = lemire(words[position:], low, high)
        assert _internal.random_uniform(low, high) == expected
        position += used
    # The engine consumed exactly the words the rule needed (rejections included).
    assert _internal.random_words(1) == [words[position]]
    if high - low == 2**31:
        assert position > 1000  # this range rejects about half of all words


def test_first_draw_of_seed_5489():
    utility.random.seed(5489)
    assert _internal.random_uniform(0, 9) == (3499211612 * 10) >> 32


def test_reversed_range_is_an_internal_fault_and_leaves_the_engine_usable():
    utility.random.seed(4)
    with pytest.raises(pybind.PanicException, match="low must be <= high"):
        _internal.random_uniform(5, 4)
    assert _internal.random_words(2) == reference_words(4, 2)


@pytest.mark.parametrize("value", [2**31, -2**31 - 1])
def test_out_of_range_seed_is_refused_and_changes_nothing(value):
    utility.random.seed(9)
    _internal.random_words(1)
    with pytest.raises(OverflowError):
        utility.random.seed(value)
    assert _internal.random_words(1) == reference_words(9, 2)[1:]


def test_seed_rejects_non_integers():
    with pytest.raises(TypeError, match="argument 'seed'"):
        utility.random.seed(1.5)


def test_unseeded_engine_seeds_itself_differently_per_process(run_python):
    code = "from nubiro.cpu.pybind import _internal; print(_internal.random_words(4))"
    assert run_python(code) != run_python(code)


def test_a_fault_under_the_lock_makes_every_later_operation_fail(run_python):
    out = run_python(
        "from nubiro.cpu import pybind\n"
        "from nubiro.cpu.pybind import _internal, utility\n"
        "for op in (_internal.random_fault, lambda: utility.random.seed(1), lambda: _internal.random_words(1)):\n"
        "    try:\n"
        "        op()\n"
        "    except pybind.PanicException as e:\n"
        "        print('panic')\n")
    assert out.split() == ["panic"] * 3
