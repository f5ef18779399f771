"""Attributes of the module's classes can be set, deleted and patched (by object and by name),
as users do in their tests; only the allocation (`__new__`) and the bases are refused, and no
object changes its class on any route. A wrong refusal would end the process (an object read as
another class's value), so the cases run in child processes."""

import os
import subprocess
import sys
import textwrap

import pytest

TESTS = os.path.dirname(os.path.abspath(__file__))

COMMON = """
    import copy, pickle, sys
    from unittest import mock
    import vorna.core as core
    from builders import bound_classes, layer, leaked_self

    CLASSES = sorted(bound_classes(core), key=lambda c: c.__qualname__)

    def outcome(call):
        try:
            return call()
        except Exception as e:
            return f"{type(e).__name__}: {e}"

    def expect(label, call, wanted):
        got = outcome(call)
        print("ok" if got == wanted else f"FAIL {label}: {got!r} != {wanted!r}", flush=True)

    def new_refused(cls, how):
        return (f"TypeError: cannot {how} '__new__' of {cls.__module__}.{cls.__name__}: its "
                "objects are allocated only by a call of the class, which constructs them.")

    def bases_refused(name):
        return (f"TypeError: cannot change the bases of {name}: its objects hold the values of "
                "the bases they were made with.")
"""


def run_child(code):
    path = [TESTS, os.environ.get("PYTHONPATH")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in path if p))
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(COMMON) + textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=300, env=env)
    assert result.returncode == 0, result.stderr[-2000:]
    lines = result.stdout.splitlines()
    assert [l for l in lines if l != "ok"] == [] and lines
    return len(lines)


def test_every_class_takes_sets_and_deletes_and_refuses_new_and_bases():
    count = run_child("""
        for cls in CLASSES:
            name = f"{cls.__module__}.{cls.__name__}"  # as the class's own messages give it
            before = dict(vars(cls))
            helper = lambda self: "helper"
            cls.helper = helper
            expect(f"{name} set", lambda: (cls.helper, vars(cls)["helper"]), (helper, helper))
            del cls.helper
            expect(f"{name} deleted", lambda: hasattr(cls, "helper"), False)
            method = next(k for k, v in before.items() if callable(v) and k != "__new__")
            with mock.patch.object(cls, method, "patched"):
                expect(f"{name}.{method} patched", lambda: getattr(cls, method), "patched")
            path = f"{cls.__module__}.{cls.__qualname__}.{method}"
            with mock.patch(path, "by name"):
                expect(f"{path} patched by name", lambda: getattr(cls, method), "by name")
            original = cls.__new__
            expect(f"{name} __new__", lambda: setattr(cls, "__new__", original),
                   new_refused(cls, "set"))
            expect(f"{name} del __new__", lambda: delattr(cls, "__new__"),
                   new_refused(cls, "delete"))
            expect(f"{name} __bases__", lambda: setattr(cls, "__bases__", (object,)),
                   bases_refused(name))
            expect(f"{name} bases descriptor",
                   lambda: type.__dict__["__bases__"].__set__(cls, cls.__bases__),
                   f"TypeError: cannot set '__bases__' attribute of immutable type '{name}'")
            expect(f"{name} unchanged", lambda: dict(vars(cls)) == before, True)
    """)
    assert count >= 34 * 9


def test_patching_habits_reach_the_calls():
    run_child("""
        model = core.Model()
        with mock.patch.object(core.Model, "forward", return_value="mocked") as forward:
            expect("forward", lambda: (model.forward(1), forward.call_count), ("mocked", 1))
        expect("forward restored", lambda: core.Model.forward.__name__, "forward")
        with mock.patch("vorna.core.HardwareDevice.devices", return_value=["fake"]):
            expect("devices", core.HardwareDevice.devices, ["fake"])
        expect("devices restored", lambda: type(vars(core.HardwareDevice)["devices"]),
               staticmethod)
        # Dunder names reach the slots, and their deletion gives the inherited one back.
        core.Layer.__repr__ = lambda self: f"<layer {self.name}>"
        expect("slot", lambda: repr(layer(core.InputData, "in")), "<layer in>")
        del core.Layer.__repr__
        expect("slot deleted", lambda: repr(layer(core.InputData, "in"))[:24],
               "<vorna.core.Layer object")
        core.Model.__doc__ = "Patched."
        expect("doc", lambda: core.Model.__doc__, "Patched.")
        # Type's own special attributes: set, or refused as on any immutable class.
        core.Layer.__qualname__ = "Renamed"
        expect("qualname", lambda: (core.Layer.__qualname__, core.Layer.__name__),
               ("Renamed", "Layer"))
        for special, value in (("__abstractmethods__", frozenset()), ("__class__", type)):
            expect(special, lambda: setattr(core.Model, special, value),
                   f"TypeError: cannot set '{special}' attribute of immutable type "
                   "'vorna.core.Model'")
        # An __init__ that does not construct the value: the object never gets out.
        init = vars(core.Model)["__init__"]
        core.Model.__init__ = lambda self: None
        expect("init", core.Model,
               "TypeError: vorna.core.Model.__init__() must be called when overriding __init__")
        core.Model.__init__ = init
        expect("init back", lambda: core.Model().layers, [])
        # The binding layer's static properties still take a value through their setter.
        static = next(c for c in property.__subclasses__()
                      if c.__name__ == "pybind11_static_property")
        seen, counter = [], static.__new__(static)
        try:  # its instances have no __doc__ to set, the last step of property's __init__
            property.__init__(counter, lambda cls: len(seen), lambda cls, v: seen.append(v))
        except AttributeError:
            pass
        core.Model.counter = counter
        core.Model.counter = 7
        expect("static property", lambda: (seen, core.Model.counter), ([7], 1))
        del core.Model.counter
        expect("objects keep their class", lambda: setattr(model, "__class__", core.Layer),
               "TypeError: __class__ assignment only supported for mutable types or "
               "ModuleType subclasses")
    """)


def test_python_subclasses_are_patched_and_keep_their_bases():
    run_child("""
        class Sub(core.Model):
            pass

        class Both(core.Model, core.Layer):
            def __init__(self):
                core.Model.__init__(self)
                core.Layer.__init__(self, core.LayerParams(core.InputData, {}), "both")

        class Other(core.Model, core.LayerParams):
            pass

        sub, both = Sub(), Both()
        for cls in (Sub, Both):
            cls.extra = 5
            expect(f"{cls.__name__} set", lambda: cls.extra, 5)
            del cls.extra
            expect(f"{cls.__name__} bases", lambda: setattr(cls, "__bases__", (core.Layer,)),
                   bases_refused(cls.__name__))
        expect("Sub bases descriptor",
               lambda: type.__dict__["__bases__"].__set__(Sub, (core.Layer,)),
               bases_refused("Sub"))
        expect("Sub mro", Sub.mro, [Sub, core.Model, core.Model.__mro__[1], object])
        expect("Sub still a model", lambda: (isinstance(sub, core.Layer), sub.layers), (False, []))
        expect("Both keeps its class", lambda: setattr(both, "__class__", Other),
               "TypeError: __class__ assignment only supported for mutable types or "
               "ModuleType subclasses")
        # A subclass's own __new__ may be set: the class call still allocates through the base.
        Sub.__new__ = staticmethod(lambda cls: core.Model.__new__(cls))
        expect("Sub new", lambda: Sub().layers, [])
        expect("Sub new direct", lambda: Sub.__new__(Sub),
               "TypeError: Sub.__new__() cannot be called directly: create the object by "
               "calling Sub().")
        # A key of a namespace that is not a string would run Python code inside the set.
        class Key(str):
            def __hash__(self):
                return hash("__repr__")

        class Odd(core.Model, core.Layer):
            locals()[Key("__repr__")] = 1

        expect("odd namespace", lambda: setattr(core.Model, "__repr__", lambda s: "m"),
               "TypeError: cannot set '__repr__' of vorna.core.Model: a class in its hierarchy "
               "has a namespace key that is not a string.")
        # A derived metaclass could order the bases of its classes against their values.
        expect("metaclass", lambda: type(core.Model)("Meta", (type(core.Model),), {}),
               "TypeError: type 'vorna_type' is not an acceptable base type")
    """)


def test_monkeypatch_on_a_class(monkeypatch):
    import vorna.core as core
    from builders import layer

    original = vars(core.Layer)["name"]
    monkeypatch.setattr(core.Layer, "name", property(lambda self: "patched"))
    monkeypatch.delattr(core.Model, "pop_layer")
    assert layer(core.InputData, "in").name == "patched"
    assert not hasattr(core.Model(), "pop_layer")
    monkeypatch.undo()
    assert vars(core.Layer)["name"] is original
    assert layer(core.InputData, "in").name == "in" and hasattr(core.Model, "pop_layer")
