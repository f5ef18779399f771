"""Device: virtual devices built from a hardware version and a mesh."""

import gc

import pytest

import vorna.core as core

NP = core.NP
Ident, Info, Mesh = NP.Ident, NP.Info, NP.Mesh


def make_mesh(version):
    nps = [Info(Ident(1, 1, 1), [NP.CNP1, NP.CNP2]), Info(Ident(1, 1, 2), [NP.FNP2, NP.FNP3])]
    return Mesh(version, Ident(0, 0, 1), Ident(0, 0, 2), None, nps)


def test_virtual_v2_device():
    version = core.HwVersion(0xBC, 0xA2, 1, 0)
    mesh = make_mesh(core.v2)
    device = core.Device(version, mesh)
    assert device.desc == "VirtualDevice/BC.A2.001.000"
    assert device.ip_version == core.v2
    assert device.version == version
    assert device.version is not device.version
    assert device.mesh == mesh


@pytest.mark.parametrize(
    "name, ip, desc",
    [("Tarn_v1", core.v1, "VirtualDevice/BC.00.000.001"), ("Tarn_v2", core.v1, "VirtualDevice/BC.00.000.002"),
     ("Gemel_v1", core.v1, "VirtualDevice/BC.A1.003.006"),
     ("XVR2200_v1", core.v1, "VirtualDevice/BC.A1.003.009"),
     ("Selvo_v2", core.v2, "VirtualDevice/BC.A2.001.000"),
     ("Mote_Selvo", core.mote, "VirtualDevice/BC.B1.001.000")],
)
def test_known_versions_need_their_ip_version(name, ip, desc):
    version = getattr(core, name)
    device = core.Device(version, make_mesh(ip))
    assert device.desc == desc
    assert device.ip_version == ip
    for other in (core.v1, core.v2, core.mote):
        if other != ip:
            with pytest.raises(ValueError, match="^Incompatible hardware and Ip versions"):
                core.Device(version, make_mesh(other))


@pytest.mark.parametrize("fields, mesh_ip, shown", [
    ((0xBC, 0xA1, 3, 9), core.v2, "188.161.3.9 with product id = 161 while IP version is v2."),
    ((0xBC, 0xB1, 1, 0), core.v1, "188.177.1.0 with product id = 177 while IP version is v1."),
    ((0xBC, 0xC0, 0, 7), core.mote, "188.192.0.7 with product id = 192 while IP version is mote."),
    ((0xBC, 0x00, 0, 2), core.v2, "188.0.0.2 with product id = 0 while IP version is v2."),
])
def test_mismatch_message(fields, mesh_ip, shown):
    with pytest.raises(ValueError) as info:
        core.Device(core.HwVersion(*fields), make_mesh(mesh_ip))
    assert str(info.value) == "Incompatible hardware and Ip versions: HW Version is " + shown


def test_unknown_product_id_is_refused_with_every_mesh():
    for ip in (core.v1, core.v2, core.mote):
        with pytest.raises(ValueError, match=f"product id = 192 while IP version is {ip.name}\\.$"):
            core.Device(core.HwVersion(0xBC, 0xC0, 1, 0), make_mesh(ip))


@pytest.mark.parametrize(
    "args, kwargs",
    [((core.Selvo_v2,), {}), ((core.v2, make_mesh(core.v2)), {}), ((core.Selvo_v2, None), {}),
     ((None, make_mesh(core.v2)), {}), ((), {"version": core.Selvo_v2, "mesh": make_mesh(core.v2)})],
)
def test_bad_constructor_arguments(args, kwargs):
    with pytest.raises(TypeError):
        core.Device(*args, **kwargs)


def test_device_holds_a_copy_of_the_mesh():
    mesh = make_mesh(core.v2)
    device = core.Device(core.Selvo_v2, mesh)
    mesh.dma_event.col = 9
    mesh.nps = []
    mesh.np_sram_size.input_bytes = 1
    assert device.mesh == make_mesh(core.v2)


def test_mesh_property_is_a_view_that_keeps_the_device_alive():
    device = core.Device(core.Selvo_v2, make_mesh(core.v2))
    view = device.mesh
    view.dma_conf.id = 7
    view.hrc = Info.hrc(True)
    assert device.mesh.dma_conf == Ident(0, 0, 7) and device.mesh.hrc == Info.hrc(True)
    event = core.Device(core.Selvo_v2, make_mesh(core.v2)).mesh.dma_event
    gc.collect()
    assert event == Ident(0, 0, 1)


def test_subclasses_cannot_build_virtual_devices():
    class MyDevice(core.Device):
        pass

    with pytest.raises(TypeError, match="builds virtual devices only"):
        MyDevice(core.Selvo_v2, make_mesh(core.v2))
