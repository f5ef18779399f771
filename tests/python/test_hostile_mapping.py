"""Mapping hooks that edit the model while it is being mapped."""

import pytest

import vorna.core as core
from builders import conv, layer, v2_device

def small_model():
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=8, input_height=8, input_channels=3))
    m.add(conv("c1"))
    m.add(conv("c2"))
    return m


EDITS = {
    "add_layer": lambda m: m.add(conv("late")),
    "add_input": lambda m: m.add(layer(core.InputData, "in2", input_width=4, input_height=4,
                                       input_channels=1)),
    "pop_layer": lambda m: m.pop_layer(),
}


@pytest.mark.parametrize("hook", ["next_layer_handler", "select_nps"])
@pytest.mark.parametrize("edit", sorted(EDITS))
def test_graph_edited_by_a_hook_fails_the_map_and_installs_nothing(hook, edit):
    device = v2_device()
    m = small_model()
    m._map(device, False, core.MapConstraints(device))
    assert m.device is device  # a good earlier mapping

    class Editor(core.MapConstraints):
        done = False

        def next_layer_handler(self, name):
            self.edit_once()

        def select_nps(self, source_nps, num_nps, type):
            self.edit_once()
            return source_nps[:num_nps]

        def edit_once(self):
            if not self.done:
                self.done = True
                EDITS[edit](m)

    if hook == "next_layer_handler":
        del Editor.select_nps
    else:
        del Editor.next_layer_handler
    with pytest.raises(RuntimeError) as err:
        m._map(device, False, Editor(device))
    assert str(err.value) == "The model was changed while it was being mapped."
    assert m.device is None and m.sequences == []
    assert all(l.mapping is None for l in m.layers)
    # The model maps again once nothing edits it.
    m._map(device, False, core.MapConstraints(device))
    assert sum(len(p.layers) for s in m.sequences for p in s.passes) == len(m.layers)
