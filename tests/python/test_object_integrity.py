"""No object of vorna.core changes its class, pickles into something that cannot be loaded, or
exists without its value outside its own __init__. The failure mode of each is a crash, so the
cases run in child processes over a walk of the module's classes and of the objects reachable
from a mapped model, a virtual and the emulated hardware devices."""

import os
import subprocess
import sys
import textwrap

import pytest

TESTS = os.path.dirname(os.path.abspath(__file__))

CHILD = textwrap.dedent("""
    import copy, copyreg, pickle, sys
    import vorna.core as core
    sys.path.insert(0, sys.argv[2])
    from builders import bound_classes, chain_model, leaked_self as leaked, mapped, v2_device
    from emu_support import program_info

    CLASSES = sorted(bound_classes(core), key=lambda c: c.__qualname__)
    ENUMS = [c for c in CLASSES if hasattr(c, "__members__")]
    BASE = core.Model.__mro__[-2]
    NOT_INITIALISED = "object is not initialised: its __init__() has not been called."

    def name(t):
        # The type's own name, as its messages give it.
        return f"{t.__module__}.{t.__name__}" if t in CLASSES else t.__name__

    def outcome(call):
        try:
            result = call()
        except Exception as e:
            return f"{type(e).__name__}: {e}"
        return result

    def expect(label, call, wanted):
        print(f"case {label}", flush=True)
        got = outcome(call)
        if got != wanted:
            print(f"FAIL {label}: {got!r} != {wanted!r}", flush=True)

    def samples():
        # One object of each class reachable through properties from a few roots.
        device = v2_device()
        hardware = core.HardwareDevice.devices()
        queue = [mapped(chain_model(), device), core.MapConstraints(device), core.Selvo_v2,
                 core.NP.SramSize_v2, hardware, core.boardXvr2200.get_flash(hardware[0]),
                 core.VornaUnsupervised(6, 2),
                 core.get_program_memory_infos(program_info([4], [1, 1, 2], 8, True))]
        queue += [m for e in ENUMS for m in e.__members__.values()]
        found, kept = {}, []
        while queue:
            obj = queue.pop()
            if isinstance(obj, (list, tuple)):
                queue += obj
            elif type(obj) in CLASSES and type(obj) not in found:
                found[type(obj)] = obj
                for attr, value in vars(type(obj)).items():
                    if isinstance(value, property):
                        kept.append(outcome(lambda: getattr(obj, attr)))
                        queue.append(kept[-1])
        return found

    def newobj_pickle(cls):
        # Protocol 4: the class by module and qualified name, then its __new__ alone.
        text = lambda s: b"\\x8c" + bytes([len(s)]) + s.encode()
        return (b"\\x80\\x04" + text(cls.__module__) + text(cls.__qualname__)
                + b"\\x93)\\x81.")

    ITEM = sys.argv[1]
    found = samples()
    print("samples", len(found))
    swap = "TypeError: __class__ assignment only supported for mutable types or ModuleType subclasses"
    for cls in CLASSES:
        if ITEM == "class":
            for obj in found.values():
                before = type(obj)
                expect(f"{name(before)} -> {cls.__qualname__}",
                       lambda: setattr(obj, "__class__", cls), swap)
                expect(f"{name(before)} set -> {cls.__qualname__}",
                       lambda: object.__dict__["__class__"].__set__(obj, cls), swap)
        elif ITEM == "pickle":
            objects = [found[cls]] if cls in found else []
            if cls not in ENUMS:
                objects.append(leaked(cls))
            for obj, protocol in [(o, p) for o in objects for p in range(6)]:
                label = f"{name(type(obj))} at {protocol}"
                if cls in ENUMS:
                    back = lambda: pickle.loads(pickle.dumps(obj, protocol))
                    expect(label, lambda: (type(back()), back()), (cls, obj))
                else:
                    expect(label, lambda: pickle.dumps(obj, protocol),
                           f"TypeError: cannot pickle '{name(type(obj))}' object")
        elif cls not in ENUMS:
            refused = (f"TypeError: {name(cls)}.__new__() cannot be called directly: "
                       f"create the object by calling {name(cls)}().")
            for how, call in [("__new__", lambda: cls.__new__(cls)),
                              ("base", lambda: BASE.__new__(cls)),
                              ("newobj", lambda: copyreg.__newobj__(cls)),
                              ("unpickle", lambda: pickle.loads(newobj_pickle(cls)))]:
                expect(f"{cls.__qualname__} {how}", call, refused)
            expect(f"{cls.__qualname__} object", lambda: object.__new__(cls),
                   f"TypeError: object.__new__({name(cls)}) is not safe, "
                   f"use {name(cls)}.__new__()")
    print("cases", len(CLASSES), len(found))
""")


@pytest.mark.parametrize("item", ["class", "pickle", "allocate"])
def test_every_class_of_the_module(item):
    env = dict(os.environ, VORNA_EMU_DEVICES="v2+flash")
    result = subprocess.run([sys.executable, "-c", CHILD, item, TESTS], capture_output=True,
                            text=True, timeout=300, env=env)
    lines = result.stdout.splitlines()
    last_case = next((l for l in reversed(lines) if l.startswith("case ")), "no case")
    assert result.returncode == 0, f"{last_case} ended the process: {result.stderr[-2000:]}"
    assert [l for l in lines if l.startswith("FAIL")] == []
    classes, sampled = map(int, lines[-1].split()[1:])
    assert classes >= 34 and sampled >= 30


def run_child(code):
    path = [TESTS, os.environ.get("PYTHONPATH")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in path if p))
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=120, env=env)
    assert result.returncode == 0, result.stderr[-2000:]
    return result.stdout.splitlines()


def test_enumerations_pickle_their_integer():
    # Below protocol 2, a call of the class with the integer; from 2 on, the class, an empty
    # argument tuple and the integer as state, as before.
    lines = run_child("""
        import pickle
        import vorna.core as core
        for protocol in (0, 1, 2):
            print(pickle.dumps(core.IpVersion.v2, protocol))
        print(pickle.dumps(core.soc.ClockMode.Economy, 4)[-10:])
        bare = core.NP.Type.__new__(core.NP.Type)
        bare.__setstate__(5)
        print(bare, pickle.dumps(bare, 0) == pickle.dumps(core.NP.Type.FNP3, 0))
    """)
    assert lines == [
        str(b"cvorna.core\nIpVersion\np0\n(I2\ntp1\nRp2\n."),
        str(b"cvorna.core\nIpVersion\nq\x00(K\x02tq\x01Rq\x02."),
        str(b"\x80\x02cvorna.core\nIpVersion\nq\x00)\x81q\x01K\x02b."),
        str(b")\x81\x94J\x00\xe1\xf5\x05b."),  # 100000000 as a 4-byte integer
        "Type.FNP3 True",
    ]


def test_objects_without_value_are_refused_inside_containers_and_results():
    # The `self` a subclass leaks from a failing __init__ reaches the binding layer only
    # inside a container or as the result of an override; so does a bare enumeration.
    lines = run_child("""
        import vorna.core as core
        from builders import leaked_self as leaked
        NP, Ident = core.NP, core.NP.Ident

        class Chooser(core.MapConstraints):
            def select_nps(self, source_nps, num_nps, type):
                return [leaked(Ident)]

        device = core.Device(core.Selvo_v2, NP.Mesh(core.v2, Ident(0, 0, 1), Ident(0, 0, 2),
                             None, [NP.Info(Ident(1, 1, 1), [NP.CNP1])]))
        calls = [
            lambda: NP.Mesh(core.v2, Ident(1, 1, 0), Ident(1, 1, 1), None, [leaked(NP.Info)]),
            lambda: NP.Info(Ident(1, 1, 0), [NP.Type.__new__(NP.Type)]),
            lambda: core.MapConstraints(device).select_nps([leaked(Ident)], 1, NP.CNP1),
            lambda: core.MapConstraints.select_nps(Chooser(device), [Ident(1, 1, 1)], 1, NP.CNP1),
            lambda: core.Model().add(core.Layer(core.LayerParams(core.InputData, {}), "in"),
                                     [leaked(core.Layer)]),
        ]
        for call in calls:
            try:
                print("accepted", call())
            except Exception as e:
                print(type(e).__name__, e)
    """)
    message = "TypeError vorna.core.{} object is not initialised: its __init__() has not been called."
    assert lines == [message.format(t) for t in ("NP.Info", "NP.Type", "NP.Ident", "NP.Ident", "Layer")]


def test_python_subclasses_construct_and_keep_their_class():
    lines = run_child("""
        import vorna.core as core

        class Plain(core.Model):
            def __init__(self):
                super().__init__()

        class Allocating(core.NP.Ident):
            def __new__(cls, *args):
                return super().__new__(cls)

        # Two bound bases side by side: another such class sharing the first base would read
        # the second value as the wrong type.
        class Both(core.Model, core.Layer):
            def __init__(self):
                core.Model.__init__(self)
                core.Layer.__init__(self, core.LayerParams(core.InputData, {}), "both")

        class Other(core.Model, core.LayerParams):
            pass

        model, both = Plain(), Both()
        print(type(model).__name__, model.layers, Allocating(1, 2, 3), both.name)
        try:
            both.__class__ = Other
        except TypeError as e:
            print(e)
    """)
    assert lines == ["Plain [] (1, 2, 3) both",
                     "__class__ assignment only supported for mutable types or ModuleType subclasses"]


def test_the_binding_layers_base_allocates_nothing():
    lines = run_child("""
        import vorna.core as core
        base = core.Model.__mro__[-2]

        class Derived(base):
            pass

        for call in (base, lambda: base.__new__(base), Derived, lambda: base.__new__(),
                     lambda: base.__new__(5), lambda: base.__new__(int)):
            try:
                call()
            except TypeError as e:
                print(e)
        print(base.__new__(core.LayerType).__setstate__(3) is None)  # unpickling still works
    """)
    assert lines == [
        "cannot create 'pybind11_object' instances",
        "cannot create 'pybind11_object' instances",
        "cannot create 'Derived' instances",
        "pybind11_object.__new__(): not enough arguments",
        "pybind11_object.__new__(X): X is not a type object (int)",
        "pybind11_object.__new__(int): int is not a subtype of pybind11_object",
        "True",
    ]


def test_layers_without_value_in_sequences_get_the_guards_type_error():
    # Layers are held by shared pointers; every sequence of them a function takes refuses an
    # element without its value as other classes' containers do, and changes nothing.
    lines = run_child("""
        import vorna.core as core
        from builders import layer, leaked_self as leaked

        bare, model = leaked(core.Layer), core.Model()
        model.add(layer(core.InputData, "in", input_width=2, input_height=2, input_channels=1))
        dense = layer(core.Dense1D, "d", units=2)
        graph = core.graph_utils
        calls = [
            lambda: core.Model([bare]),
            lambda: core.Model(layers=(layer(core.InputData, "in"), bare)),
            lambda: model.add(dense, [bare]),
            lambda: model.add(dense, inbound_layers=[model.layers[0], bare]),
            lambda: graph.first_mappable_layer([bare]),
            lambda: graph.last_mappable_layer((bare,)),
            lambda: core.Model([core.LayerParams(core.InputData, {})]),
        ]
        for call in calls:
            try:
                print("accepted", call())
            except Exception as e:
                print(type(e).__name__, str(e).splitlines()[0])
        print(model.layer_count, [l.name for l in model.layers])
    """)
    refused = ("TypeError vorna.core.Layer object is not initialised: its __init__() has not "
               "been called.")
    assert lines == [refused] * 6 + [
        "TypeError __init__(): incompatible constructor arguments. The following argument types "
        "are supported:", "1 ['in']"]


def test_subclasses_pickle_and_copy_through_their_own_reduce():
    lines = run_child("""
        import copy, pickle
        import vorna.core as core
        from builders import layer

        class Saved(core.Model):  # rebuilt from its parameters
            def __init__(self, size):
                super().__init__()
                self.size = size

            def __reduce__(self):
                return (type(self), (self.size,))

        class Derived(Saved):
            pass

        class Plain(core.Model):
            def __getnewargs__(self):
                return ()

        class OwnEx(core.Layer):
            def __reduce_ex__(self, protocol):
                return (layer, ("InputData", self.name))

        for obj in (Saved(3), Derived(4)):
            for protocol in range(6):
                back = pickle.loads(pickle.dumps(obj, protocol))
                print(type(back).__name__, back.size, back.layers)
            print([(type(c).__name__, c.size) for c in (copy.copy(obj), copy.deepcopy(obj))])
        print(copy.copy(OwnEx(core.LayerParams(core.InputData, {}), "own")).name)
        for obj in (Plain(), core.Model()):
            for call in (pickle.dumps, copy.copy, copy.deepcopy):
                try:
                    call(obj)
                except TypeError as e:
                    print(e)
    """)
    assert lines == ["Saved 3 []"] * 6 + ["[('Saved', 3), ('Saved', 3)]"] + \
        ["Derived 4 []"] * 6 + ["[('Derived', 4), ('Derived', 4)]", "own"] + \
        ["cannot pickle 'Plain' object"] * 3 + ["cannot pickle 'vorna.core.Model' object"] * 3
