"""Every method and property accessor of every class of vorna.core refuses a `self` it cannot
use, on every call path: the interpreter specialises a call site after a few calls and then
calls the function's definition directly. A crash is the failure mode, so the cases run in
child processes, one per kind of `self`."""

import os
import subprocess
import sys
import textwrap

import pytest

# Walks the module and calls every accessor 50 times from one call site with the `self` that
# the child's SELF names. Prints the case before calling it, so that a crash names it.
TESTS = os.path.dirname(os.path.abspath(__file__))

CHILD = textwrap.dedent("""
    import sys
    import types
    import vorna.core as core

    sys.path.insert(0, sys.argv[2])  # the tests folder
    from builders import bound_classes, leaked_self

    def accessors(cls):
        # (label, function, whether it is a setter) of the bound methods and property
        # accessors the class defines; constructors take the object they construct and are
        # left out.
        for name, value in vars(cls).items():
            if name in ("__init__", "__setstate__", "__new__"):
                continue
            if isinstance(value, property):
                if type(value).__name__ == "pybind11_static_property":
                    continue
                yield f"{name}.fget", value.fget, False
                if value.fset is not None:
                    yield f"{name}.fset", value.fset, True
            elif type(value).__name__ == "instancemethod":
                yield name, value.__func__, False
            elif isinstance(value, types.BuiltinFunctionType):
                yield name, value, False

    def attempt(function, obj, setter):
        # One call site, 50 calls: the interpreter specialises plain calls (not f(*args)) after
        # a few, and the later calls take the specialised path.
        outcome = None
        for _ in range(50):
            try:
                if setter:
                    function(obj, None)
                else:
                    function(obj)
                return "returned"
            except TypeError as e:
                outcome = str(e)
            except Exception as e:
                return f"{type(e).__name__}: {e}"
        return outcome

    NOT_INITIALISED = "object is not initialised: its __init__() has not been called."
    model = core.Model()
    member = core.LayerType.InputData

    def other_than(cls):
        return model if not isinstance(model, cls) else member

    def unconstructed(cls):
        # The enumerations still allocate without a value (unpickling needs it); the other
        # classes only let a Python subclass leak its `self` from a failing __init__.
        try:
            return cls.__new__(cls)
        except TypeError:
            return leaked_self(cls)

    def check(cls, label, message, expected):
        if message != expected:
            print(f"FAIL {cls.__qualname__}.{label}: {message!r}", flush=True)

    def tp_name(t):
        # The name a type's messages give: module and name for the module's classes.
        return f"{t.__module__}.{t.__name__}" if t.__module__.startswith("vorna") else t.__name__

    def wrong_type_message(cls, label, obj):
        name, _, accessor = label.partition(".f")
        subject = (f"The {'getter' if accessor == 'get' else 'setter'} of "
                   f"{cls.__qualname__}.{name}" if accessor else f"{cls.__qualname__}.{name}()")
        return f"{subject} needs a {tp_name(cls)} object as self, not {tp_name(type(obj))}."

    def run_plain(cls, make):
        count = 0
        for label, function, setter in accessors(cls):
            obj = make(cls)
            print(f"case {cls.__qualname__}.{label}", flush=True)
            message = attempt(function, obj, setter)
            if SELF == "unconstructed":
                check(cls, label, message, f"{tp_name(type(obj))} {NOT_INITIALISED}")
            else:
                check(cls, label, message, wrong_type_message(cls, label, obj))
            count += 1
        return count

    def run_early(cls):
        # A Python subclass whose __init__ uses the accessors before the base __init__.
        results = []
        try:
            class Early(cls):
                def __init__(self):
                    for label, function, setter in accessors(cls):
                        print(f"case {cls.__qualname__}.{label}", flush=True)
                        results.append((label, attempt(function, self, setter)))
                    raise LookupError
        except TypeError:
            return 0  # the class cannot be subclassed
        try:
            Early()
        except LookupError:
            pass
        for label, message in results:
            check(cls, label, message, f"Early {NOT_INITIALISED}")
        return len(results)

    SELF = sys.argv[1]
    makers = {"None": lambda cls: None, "int": lambda cls: 3, "str": lambda cls: "x",
              "other": other_than, "unconstructed": unconstructed}
    total = 0
    for cls in sorted(bound_classes(core), key=lambda c: c.__qualname__):
        total += run_early(cls) if SELF == "early" else run_plain(cls, makers[SELF])
    print("cases", total)
""")


@pytest.mark.parametrize("self_kind", ["None", "int", "str", "other", "unconstructed", "early"])
def test_every_accessor_refuses_a_self_it_cannot_use(self_kind):
    result = subprocess.run([sys.executable, "-c", CHILD, self_kind, TESTS], capture_output=True,
                            text=True, timeout=120)
    lines = result.stdout.splitlines()
    last_case = next((l for l in reversed(lines) if l.startswith("case ")), "no case")
    assert result.returncode == 0, f"{last_case} ended the process: {result.stderr[-2000:]}"
    assert [l for l in lines if l.startswith("FAIL")] == []
    # Every class of the module is walked: more than 250 accessors.
    assert int(lines[-1].split()[1]) > 250


def test_subclass_reads_before_and_after_the_base_init():
    # The same call site refuses the object 50 times before the base __init__ and reads it 50
    # times after; a missing or keyword `self` is refused too.
    code = textwrap.dedent("""
        import vorna.core as core

        class Early(core.Layer):
            def __init__(self, params, name):
                self.seen = [self.read() for _ in range(50)]
                super().__init__(params, name)

            def read(self):
                try:
                    return core.Layer.name.fget(self)
                except TypeError as e:
                    return str(e)

        layer = Early(core.LayerParams(core.InputData, {"input_width": 4}), "in")
        print(set(layer.seen))
        print({layer.read() for _ in range(50)})
        for call in (lambda: core.Layer.name.fget(), lambda: core.Model.add(layer=layer),
                     lambda: core.HardwareDevice.learn_enabled.fset(3, True)):
            try:
                call()
            except TypeError as e:
                print(e)
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "{'Early object is not initialised: its __init__() has not been called.'}",
        "{'in'}",
        "The getter of Layer.name needs a vorna.core.Layer object as self; none was given.",
        "Model.add() needs a vorna.core.Model object as self; none was given.",
        "The setter of HardwareDevice.learn_enabled needs a vorna.core.HardwareDevice object as "
        "self, not int.",
    ]
