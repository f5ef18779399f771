"""Optimizer and VornaUnsupervised."""

import copy
import re

import pytest

import vorna.core as core

NAMES = [
    "initial_plasticity",
    "learning_competition",
    "min_plasticity",
    "num_classes",
    "num_weights",
    "plasticity_decay",
]


def settings(opt):
    return {name: opt.get(name) for name in dir(opt)}


def test_defaults():
    opt = core.VornaUnsupervised(64)
    assert isinstance(opt, core.Optimizer)
    assert dir(opt) == NAMES
    assert settings(opt) == {
        "initial_plasticity": 1.0,
        "learning_competition": 0.0,
        "min_plasticity": 0.10000000149011612,  # 0.1f widened, not the double 0.1
        "num_classes": 1.0,
        "num_weights": 64.0,
        "plasticity_decay": 0.25,
    }
    assert opt.min_plasticity != 0.1
    signature = core.VornaUnsupervised.__doc__.split("\n")[0]
    assert re.search(r"min_plasticity: [^=,]*= 0\.10000000149011612,", signature)


def test_all_arguments():
    opt = core.VornaUnsupervised(
        num_weights=4294967295,
        num_classes=10,
        initial_plasticity=0.5,
        learning_competition=2,
        min_plasticity=0.01,
        plasticity_decay=-1.5,
    )
    assert settings(opt) == {
        "initial_plasticity": 0.5,
        "learning_competition": 2.0,
        "min_plasticity": 0.01,
        "num_classes": 10.0,
        "num_weights": 4294967295.0,
        "plasticity_decay": -1.5,
    }
    assert opt.num_classes == 10.0 and isinstance(opt.num_classes, float)


@pytest.mark.parametrize(
    "args",
    [(-1,), (2.0,), (4294967296,), ("64",), (None,), (64, -1), (64, 1.0), (64, 1, "x")],
)
def test_bad_arguments(args):
    with pytest.raises(TypeError):
        core.VornaUnsupervised(*args)


def test_no_constructor():
    with pytest.raises(TypeError):
        core.Optimizer()


def test_missing_setting():
    opt = core.VornaUnsupervised(8)
    with pytest.raises(ValueError) as err:
        opt.get("nope")
    assert str(err.value) == "Parameter 'nope' not found."
    with pytest.raises(ValueError):
        opt.nope


def test_learning_type_cannot_be_read():
    # The learning type has no Python type, so its value cannot be converted.
    with pytest.raises(TypeError):
        core.VornaUnsupervised(8).learning_type


def test_copy_is_independent():
    opt = core.VornaUnsupervised(8, 3)
    dup = copy.copy(opt)
    assert dup is not opt
    assert isinstance(dup, core.Optimizer)
    assert settings(dup) == settings(opt)
    del opt
    assert dup.num_classes == 3.0


def test_docstrings():
    assert core.Optimizer.__doc__ == "Optimizer generic parameters"
    assert core.VornaUnsupervised.__doc__.split("\n")[2] == (
        "Prepare the Vorna Unsupervised optimizer for learning of the last layer."
    )
