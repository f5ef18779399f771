"""Optimizer and VornaUnsupervised."""

import copy

import pytest

import vorna.core as core


def settings(opt):
    return {name: opt.get(name) for name in dir(opt)}


def test_defaults_and_all_arguments():
    opt = core.VornaUnsupervised(64)
    assert isinstance(opt, core.Optimizer)
    assert settings(opt) == {
        "initial_plasticity": 1.0, "learning_competition": 0.0,
        "min_plasticity": 0.10000000149011612,  # 0.1f widened, not the double 0.1
        "num_classes": 1.0, "num_weights": 64.0, "plasticity_decay": 0.25}
    opt = core.VornaUnsupervised(num_weights=4294967295, num_classes=10, initial_plasticity=0.5,
                                 learning_competition=2, min_plasticity=0.01, plasticity_decay=-1.5)
    assert settings(opt) == {
        "initial_plasticity": 0.5, "learning_competition": 2.0, "min_plasticity": 0.01,
        "num_classes": 10.0, "num_weights": 4294967295.0, "plasticity_decay": -1.5}
    dup = copy.copy(opt)
    del opt
    assert isinstance(dup, core.Optimizer) and dup.num_classes == 10.0


@pytest.mark.parametrize("args", [(-1,), (2.0,), (4294967296,), (None,), (64, -1), (64, 1, "x")])
def test_bad_arguments(args):
    with pytest.raises(TypeError):
        core.VornaUnsupervised(*args)


def test_missing_and_unreadable_settings():
    opt = core.VornaUnsupervised(8)
    with pytest.raises(ValueError, match="^Parameter 'nope' not found.$"):
        opt.get("nope")
    with pytest.raises(ValueError):
        opt.nope
    with pytest.raises(TypeError):  # the learning type has no Python type
        opt.learning_type
    with pytest.raises(TypeError):
        core.Optimizer()
