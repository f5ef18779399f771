"""Optimizer and VornaUnsupervised."""

import copy

import pytest

import vorna.core as core


def test_arguments_settings_and_copies():
    assert core.VornaUnsupervised(64).get("num_weights") == 64.0
    opt = core.VornaUnsupervised(num_weights=4294967295, num_classes=10, initial_plasticity=0.5,
                                 learning_competition=2, min_plasticity=0.01, plasticity_decay=-1.5)
    assert {name: opt.get(name) for name in dir(opt)} == {
        "initial_plasticity": 0.5, "learning_competition": 2.0, "min_plasticity": 0.01,
        "num_classes": 10.0, "num_weights": 4294967295.0, "plasticity_decay": -1.5}
    dup = copy.copy(opt)
    del opt
    assert isinstance(dup, core.Optimizer) and dup.num_classes == 10.0
    with pytest.raises(ValueError, match="^Parameter 'nope' not found.$"):
        dup.get("nope")
    with pytest.raises(TypeError):  # the learning type has no Python type
        dup.learning_type
    for args in [(-1,), (4294967296,), (64, -1)]:
        with pytest.raises(TypeError):
            core.VornaUnsupervised(*args)
