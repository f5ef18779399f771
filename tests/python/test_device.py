"""Device: virtual devices built from a hardware version and a mesh."""

import gc

import pytest

import vorna.core as core
from builders import Ident, Info, small_device


def make_mesh(ip):
    return small_device(core.Selvo_v2).mesh if ip == core.v2 else small_device(
        {core.v1: core.Tarn_v1, core.mote: core.Mote_Selvo}[ip], ip).mesh


def test_virtual_device_and_its_mesh_copy_and_view():
    mesh = make_mesh(core.v2)
    device = core.Device(core.HwVersion(0xBC, 0xA2, 1, 0), mesh)
    assert (device.desc, device.ip_version) == ("VirtualDevice/BC.A2.001.000", core.v2)
    assert device.version == core.Selvo_v2 and device.mesh == mesh
    mesh.dma_event.col = 9  # the device holds a copy
    mesh.nps = []
    assert device.mesh == make_mesh(core.v2)
    view = device.mesh  # a view that writes through and keeps the device alive
    view.dma_conf.id = 7
    view.hrc = Info.hrc(True)
    assert device.mesh.dma_conf == Ident(0, 0, 7) and device.mesh.hrc == Info.hrc(True)
    event = core.Device(core.Selvo_v2, make_mesh(core.v2)).mesh.dma_event
    gc.collect()
    assert event == Ident(0, 0, 1)


@pytest.mark.parametrize("fields, mesh_ip, shown", [
    ((0xBC, 0xA1, 3, 9), core.v2, "188.161.3.9 with product id = 161 while IP version is v2."),
    ((0xBC, 0xB1, 1, 0), core.v1, "188.177.1.0 with product id = 177 while IP version is v1."),
    ((0xBC, 0xC0, 0, 7), core.mote, "188.192.0.7 with product id = 192 while IP version is mote."),
    ((0xBC, 0x00, 0, 2), core.v2, "188.0.0.2 with product id = 0 while IP version is v2."),
    ((0xBC, 0xA2, 1, 0), core.mote, "188.162.1.0 with product id = 162 while IP version is mote."),
])
def test_mismatch_message(fields, mesh_ip, shown):
    with pytest.raises(ValueError) as info:
        core.Device(core.HwVersion(*fields), make_mesh(mesh_ip))
    assert str(info.value) == "Incompatible hardware and Ip versions: HW Version is " + shown


def test_bad_constructor_arguments_and_subclasses():
    mesh = make_mesh(core.v2)
    for args in [(core.Selvo_v2,), (core.v2, mesh), (core.Selvo_v2, None), (None, mesh)]:
        with pytest.raises(TypeError):
            core.Device(*args)

    class MyDevice(core.Device):
        pass

    with pytest.raises(TypeError, match="builds virtual devices only"):
        MyDevice(core.Selvo_v2, mesh)
