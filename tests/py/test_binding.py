"""The binding layer through the `_binding_probe` test extension: argument binding and conversion,
error mapping, fatal errors, borrows, docstrings, module building, and the release of references
dropped without the GIL."""
import gc
import inspect
import sys
import threading
import weakref

import pytest
from hypothesis import given, strategies as st

import _binding_probe as probe

IS_PYPY = sys.implementation.name == "pypy"

U8_MAX, U32_MAX, U64_MAX = 2**8 - 1, 2**32 - 1, 2**64 - 1


def convert_args(**overrides):
    args = dict(text="t", small=1, word=2, big=3, data=b"", real=1.0, single=2.0, flag=True, obj=None)
    args.update(overrides)
    return args


class Thing:
    pass


# --- converters

def test_convert_round_trips_every_kind():
    obj = object()
    result = probe.convert("héllo", 255, U32_MAX, U64_MAX, bytearray(b"\x00\xff"), 1.5, 0.25, True, obj)
    assert result == ("héllo", 255, U32_MAX, U64_MAX, b"\x00\xff", 1.5, 0.25, True, obj)
    assert result[-1] is obj


@pytest.mark.parametrize("data", [b"\x01\x02", bytearray(b"\x01\x02"), [1, 2], (1, 2), memoryview(b"\x01\x02").tolist()])
def test_byte_sequences(data):
    assert probe.convert(**convert_args(data=data))[4] == b"\x01\x02"


class Lying:
    """A sequence whose __len__ claims `length` items while it holds `items`."""

    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        return self.items[index]


class Clears:
    """An item whose conversion empties the list it sits in."""

    def __init__(self, victim):
        self.victim = victim

    def __index__(self):
        del self.victim[:]
        return 7


def cleared_mid_call():
    victim = [1, 2, 3, 4]
    victim.insert(2, Clears(victim))
    return victim


# The items are what iteration yields: a __len__ that lies neither allocates what it claims nor
# truncates, and a list emptied by one of its items' __index__ ends at that item.
@pytest.mark.parametrize("data, expected", [
    (Lying(2**62, [1, 2]), b"\x01\x02"), (Lying(sys.maxsize, []), b""), (Lying(2**31, [9]), b"\x09"),
    (Lying(0, [1, 2, 3]), b"\x01\x02\x03"), (cleared_mid_call(), b"\x01\x02\x07"),
], ids=["2**62", "maxsize", "2**31", "zero", "cleared"])
def test_byte_sequences_are_iterated_whatever_their_length_claims(data, expected):
    assert probe.convert(**convert_args(data=data))[4] == expected


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@given(name=st.sampled_from(["small", "word", "big"]), data=st.data())
def test_unsigned_in_range_round_trips(name, data):
    limit = {"small": U8_MAX, "word": U32_MAX, "big": U64_MAX}[name]
    value = data.draw(st.integers(0, limit))
    position = ["small", "word", "big"].index(name) + 1
    assert probe.convert(**convert_args(**{name: value}))[position] == value
    assert probe.convert(**convert_args(**{name: Index(value)}))[position] == value


@given(name=st.sampled_from(["small", "word", "big"]), value=st.integers(max_value=-1))
def test_negative_unsigned_is_overflow_without_prefix(name, value):
    with pytest.raises(OverflowError) as info:
        probe.convert(**convert_args(**{name: value}))
    assert type(info.value) is OverflowError
    assert not str(info.value).startswith("argument")


@given(data=st.data())
def test_narrow_unsigned_above_maximum(data):
    name, limit = data.draw(st.sampled_from([("small", U8_MAX), ("word", U32_MAX)]))
    value = data.draw(st.integers(limit + 1, U64_MAX))
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        probe.convert(**convert_args(**{name: value}))


@given(value=st.integers(min_value=U64_MAX + 1))
def test_u64_above_maximum(value):
    for name in ("small", "word", "big"):
        with pytest.raises(OverflowError):
            probe.convert(**convert_args(**{name: value}))


@pytest.mark.parametrize("name, value", [
    ("small", 1.0), ("word", "1"), ("big", None),
    ("text", 1), ("text", b"x"),
    ("data", "abc"), ("data", 5), ("data", [1.0]), ("data", {1: 2}),
    ("real", "1.0"), ("single", None),
    ("flag", 1), ("flag", None), ("flag", 0.0),
])
def test_type_errors_name_the_argument(name, value):
    with pytest.raises(TypeError) as info:
        probe.convert(**convert_args(**{name: value}))
    assert type(info.value) is TypeError
    assert str(info.value).startswith(f"argument '{name}': ")


def test_str_is_refused_as_byte_sequence():
    with pytest.raises(TypeError, match="^argument 'data': "):
        probe.convert(**convert_args(data="\x01"))


def test_byte_item_out_of_range_is_overflow_unprefixed():
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        probe.convert(**convert_args(data=[1, 256]))


def test_type_error_prefix_keeps_cause_and_spares_subclasses():
    class Cause(Exception):
        pass

    class Bad:
        def __index__(self):
            raise TypeError("inner") from Cause("why")

    class SubTypeError(TypeError):
        pass

    class Worse:
        def __index__(self):
            raise SubTypeError("sub")

    with pytest.raises(TypeError) as info:
        probe.convert(**convert_args(word=Bad()))
    assert str(info.value) == "argument 'word': inner"
    assert isinstance(info.value.__cause__, Cause)
    with pytest.raises(SubTypeError, match="^sub$"):
        probe.convert(**convert_args(word=Worse()))


def test_floats_accept_anything_float_converts():
    class Floaty:
        def __float__(self):
            return 2.5

    result = probe.convert(**convert_args(real=3, single=Floaty()))
    assert result[5:7] == (3.0, 2.5)
    assert probe.convert(**convert_args(single=0.1))[6] == pytest.approx(0.1, rel=1e-7)


def test_numpy_bool_is_accepted_by_type_module_and_name():
    fake_numpy_bool = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})
    assert probe.convert(**convert_args(flag=fake_numpy_bool()))[7] is True
    imposter = type("bool_", (), {"__module__": "notnumpy", "__bool__": lambda self: True})
    with pytest.raises(TypeError):
        probe.convert(**convert_args(flag=imposter()))


# --- argument binding

@pytest.mark.parametrize("call, message", [
    (lambda: probe.defaults(1, 2, "c", 4), "defaults() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: probe.defaults(1, d=2), "defaults() got an unexpected keyword argument 'd'"),
    (lambda: probe.defaults(1, a=2), "defaults() got multiple values for argument 'a'"),
    (lambda: probe.defaults(), "defaults() missing 1 required positional argument: 'a'"),
    (lambda: probe.raise_error(), "raise_error() missing 2 required positional arguments: 'kind' and 'text'"),
    (lambda: probe.panic("a", "b"), "panic() takes 1 positional argument but 2 were given"),
    (lambda: probe.Probe(), "Probe() missing 1 required positional argument: 'start'"),
    (lambda: probe.Probe(1).add(1, 2, 3), "Probe.add() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: probe.Probe(1).store(value=1, values=2), "Probe.store() got an unexpected keyword argument 'values'"),
    (lambda: probe.Probe(1)(1, extra=2), "Probe.__call__() got multiple values for argument 'extra'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("args, kwargs, expected", [
    ((1,), {}, (1, 7, None)),
    ((1, 2, "x"), {}, (1, 2, "x")),
    ((), {"c": "x", "a": 1}, (1, 7, "x")),
    ((1,), {"c": None}, (1, 7, None)),
    ((1, 3, None), {}, (1, 3, None)),
])
def test_defaults_and_default_none(args, kwargs, expected):
    assert probe.defaults(*args, **kwargs) == expected


def test_none_for_a_non_none_default_is_converted():
    with pytest.raises(TypeError, match="^argument 'b': "):
        probe.defaults(1, None)


def test_binding_error_has_no_side_effect():
    counter = probe.Probe(1)
    calls = []
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        counter.store(5, lambda: calls.append(1), bogus=1)
    with pytest.raises(OverflowError):
        counter.store(-1, lambda: calls.append(1))
    assert counter.get() == 1 and calls == []


# --- classes

def test_class_behaviour():
    counter = probe.Probe(5)
    assert (counter.get(), counter.value, counter.add(2), counter(3)) == (5, 5, 7, 8)
    assert counter.store(value=9) is None
    assert repr(counter) == "Probe(value=9)"
    with pytest.raises(AttributeError):
        counter.value = 1
    assert type(counter).__module__ == "_binding_probe"


def test_class_without_constructor_cannot_be_instantiated():
    with pytest.raises(TypeError, match="cannot create '(_binding_probe.)?Sealed' instances"):
        probe.Sealed()
    sealed = probe.make_sealed("tag")
    assert type(sealed) is probe.Sealed and sealed.label == "tag"


def test_many_instances_are_freed_and_class_survives():
    refs = [weakref.ref(probe.Probe) for _ in range(1)]
    for i in range(20000):
        probe.Probe(i)
        probe.make_sealed(str(i))
    gc.collect()
    assert refs[0]() is probe.Probe
    assert probe.Probe(3).get() == 3


@pytest.mark.parametrize("outer, inner, message", [
    ("store", lambda c: c.get(), "Already mutably borrowed"),
    ("store", lambda c: c.add(1), "Already mutably borrowed"),
    ("store", lambda c: c.value, "Already mutably borrowed"),
    ("store", lambda c: c.store(2), "Already borrowed"),
    ("add", lambda c: c.store(2), "Already borrowed"),
])
def test_borrow_conflicts(outer, inner, message):
    counter = probe.Probe(1)
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        getattr(counter, outer)(1, lambda: inner(counter))
    # The borrow is released on the error path too.
    assert counter.store(4) is None and counter.get() == 4


def test_shared_borrows_nest():
    counter = probe.Probe(1)
    assert counter.add(1, lambda: counter.add(2, lambda: counter.get())) == 2


# --- docstrings

def test_text_signatures():
    assert probe.defaults.__text_signature__ == "(a, b=7, c=None)"
    assert probe.Probe.__text_signature__ == "(start)"
    assert str(inspect.signature(probe.convert)) == (
        "(text, small, word, big, data, real, single, flag, obj)")
    assert str(inspect.signature(probe.noop)) == "()"
    if not IS_PYPY:  # PyPy 7.3 exposes no docstring for methods of classes built by PyType_FromSpec
        assert probe.Probe.add.__text_signature__ == "($self, amount, callback=None)"
        assert str(inspect.signature(probe.Probe.store)) == "(self, /, value, callback=None)"


def test_docstring_bodies_follow_the_signature():
    assert probe.defaults.__doc__.endswith("The bound values.")
    assert probe.Probe.__doc__.endswith("borrows.")


# --- module building

def test_items_come_in_table_order_whatever_the_hook_order():
    assert probe.__all__ == [
        "Probe", "Sealed", "convert", "defaults", "panic", "throw_logic_error", "raise_error",
        "noop", "call_back", "drop_off_gil", "keep", "drop_kept_then_acquire",
        "drop_in_allow_threads", "drop_from_runtime", "call_from_thread", "spin_in_background",
        "error_survives_drain", "pending_count", "make_sealed", "start_runtime",
        "wait_for_signal",
    ]
    assert all(getattr(probe, name) is not None for name in probe.__all__)
    assert not hasattr(probe, "not_registered")


def test_velmot_names_follow_the_registration_table():
    import velmot
    names = getattr(velmot, "__all__", [])
    order = ["AsyncHandle", "CanDevice", "CanDeviceNonBlocking", "Device", "Motor",
             "PrecisionTimer", "TaskManager", "RunAsync", "Timer", "TimerHandle", "TimerWrapper",
             "timer", "precision_timer", "run_async", "get_task_manager", "shutdown_all",
             "block_all", "block_until"]
    assert names == [name for name in order if name in names]


# --- errors and fatal errors

@pytest.mark.parametrize("kind, exception", [
    ("os", OSError), ("not_found", OSError), ("permission", OSError),
    ("invalid_input", OSError), ("broken_pipe", OSError), ("value", ValueError),
    ("type", TypeError), ("timeout", TimeoutError), ("runtime", RuntimeError),
])
def test_error_kinds(kind, exception):
    text = "No such device (os error 19)"
    with pytest.raises(BaseException) as info:
        probe.raise_error(kind, text)
    assert type(info.value) is exception
    assert str(info.value) == text


def test_panic_is_not_an_exception(capfd):
    with pytest.raises(BaseException) as info:
        try:
            probe.panic("boom")
        except Exception:  # must not catch it
            pytest.fail("PanicException caught as Exception")
    panic_type = type(info.value)
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert info.value.args == ("boom",)
    assert "propagates" in panic_type.__doc__
    assert not hasattr(probe, "PanicException")
    stderr = capfd.readouterr().err
    assert "panicked at" in stderr and "boom" in stderr


def test_panic_in_method_and_unexpected_exception_share_one_class():
    with pytest.raises(BaseException) as first:
        probe.Probe(1).fail()
    with pytest.raises(BaseException) as second:
        probe.throw_logic_error()
    assert type(first.value) is type(second.value)
    assert first.value.args == ("method failed",)
    assert second.value.args == ("unexpected internal exception",)


def test_panic_raised_in_a_callback_continues_as_fatal_error(capfd):
    def callback():
        probe.panic("inner")

    with pytest.raises(BaseException) as info:
        probe.call_back(callback)
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("inner",)
    stderr = capfd.readouterr().err
    assert "Traceback" in stderr and "callback" in stderr


def test_ordinary_callback_exceptions_pass_unchanged():
    error = KeyError("k")

    def callback():
        raise error

    with pytest.raises(KeyError) as info:
        probe.call_back(callback)
    assert info.value is error
    assert probe.call_back(lambda: 42) == 42


# --- references dropped without the GIL

def drop_and_watch(drop):
    """Drops a fresh object through `drop` and returns its weak reference."""
    thing = Thing()
    ref = weakref.ref(thing)
    drop(thing)
    del thing
    gc.collect()
    return ref


@pytest.mark.parametrize("drop", [probe.drop_off_gil, probe.drop_from_runtime],
                         ids=["plain-thread", "runtime-task"])
def test_dropped_reference_is_released_at_next_entry(drop):
    ref = drop_and_watch(drop)
    assert ref() is not None  # queued, nobody has drained yet
    probe.noop()
    gc.collect()
    assert ref() is None


def test_dropped_reference_is_released_when_a_background_thread_takes_the_gil():
    ref = drop_and_watch(probe.keep)  # the probe holds the only reference now
    assert ref() is not None
    seen = []

    def callback():  # runs on the background thread, after its GIL acquisition
        gc.collect()
        seen.append(ref() is None)

    probe.drop_kept_then_acquire(callback)
    assert seen == [True]


def test_dropped_reference_is_released_when_the_gil_is_taken_back():
    ref = drop_and_watch(probe.drop_in_allow_threads)
    assert ref() is None


def test_pending_exception_survives_draining():
    finalized = []

    class Noisy:
        def __del__(self):
            try:
                raise KeyError("inside finalizer")
            except KeyError:
                finalized.append(True)

    with pytest.raises(ValueError, match="^set before draining$"):
        probe.error_survives_drain(Noisy())
    gc.collect()
    assert finalized == [True]


def test_background_thread_attaches_once():
    local = threading.local()
    seen = []

    def callback():
        seen.append((threading.get_ident(), getattr(local, "count", 0)))
        local.count = getattr(local, "count", 0) + 1

    probe.call_from_thread(callback, 3)
    assert [count for _, count in seen] == [0, 1, 2]
    assert len({ident for ident, _ in seen}) == 1
    assert seen[0][0] != threading.get_ident()


def test_exit_with_a_thread_calling_into_python_does_not_crash(run_python):
    result = run_python("""
        import time, _binding_probe as probe
        calls = []
        probe.spin_in_background(lambda: calls.append(1))
        while len(calls) < 5:
            time.sleep(0.01)
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
