"""HwVersion: texts, equality, IP versions and the known versions of the module."""

import pytest

import vorna.core as core

KNOWN = [
    ("Tarn_v1", (0xBC, 0x00, 0, 1), "BC.00.000.001", core.v1),
    ("Tarn_v2", (0xBC, 0x00, 0, 2), "BC.00.000.002", core.v1),
    ("Gemel_v1", (0xBC, 0xA1, 3, 6), "BC.A1.003.006", core.v1),
    ("XVR2200_v1", (0xBC, 0xA1, 3, 9), "BC.A1.003.009", core.v1),
    ("Selvo_v2", (0xBC, 0xA2, 1, 0), "BC.A2.001.000", core.v2),
    ("Mote_Selvo", (0xBC, 0xB1, 1, 0), "BC.B1.001.000", core.mote),
]


@pytest.mark.parametrize("name, fields, text, ip", KNOWN, ids=[k[0] for k in KNOWN])
def test_known_versions(name, fields, text, ip):
    version = getattr(core, name)
    assert isinstance(version, core.HwVersion)
    assert (version.vendor_id, version.product_id, version.major_rev, version.minor_rev) == fields
    assert str(version) == text
    assert repr(version) == text
    assert version.ip_version == ip
    assert version == core.HwVersion(*fields)
    # A module attribute, read twice, is one object.
    assert getattr(core, name) is version


def test_known_versions_are_attributes_of_the_module_not_the_class():
    assert not hasattr(core.HwVersion, "Tarn_v1")
    names = [n for n in vars(core) if isinstance(getattr(core, n), core.HwVersion)]
    assert names == [k[0] for k in KNOWN]


@pytest.mark.parametrize(
    "fields, text",
    [
        ((0xBC, 0xA1, 3, 7), "BC.A1.003.007"),
        ((0, 0, 0, 0), "00.00.000.000"),
        ((255, 255, 255, 255), "FF.FF.255.255"),
        ((0x0A, 0x0B, 12, 100), "0A.0B.012.100"),
    ],
)
def test_python_text_form(fields, text):
    assert str(core.HwVersion(*fields)) == text


@pytest.mark.parametrize(
    "product_id, ip",
    [
        (0x00, core.v1),
        (0xA1, core.v1),
        (0xA2, core.v2),
        (0xB1, core.mote),
        (0xA0, core.none),
        (0xA3, core.none),
        (0xB0, core.none),
        (0xB2, core.none),
        (0x01, core.none),
        (0xFF, core.none),
    ],
)
def test_ip_version_from_product_id(product_id, ip):
    assert core.HwVersion(0xBC, product_id, 1, 0).ip_version == ip


def test_equality():
    v = core.HwVersion(0xBC, 0xA1, 3, 9)
    assert v == core.XVR2200_v1
    assert v != core.Gemel_v1
    assert not (v == 5)
    assert v != 5
    assert v != "BC.A1.003.009"
    for i in range(4):
        fields = [0xBC, 0xA1, 3, 9]
        fields[i] ^= 1
        assert core.HwVersion(*fields) != v


def test_no_hash():
    with pytest.raises(TypeError):
        hash(core.Tarn_v1)
    with pytest.raises(TypeError):
        {core.HwVersion(1, 2, 3, 4)}


@pytest.mark.parametrize(
    "args",
    [(256, 0, 0, 0), (0, 0, 0, 256), (-1, 0, 0, 0), (1.0, 0, 0, 0), (1, 2, 3), (1, 2, 3, 4, 5), ("a", 0, 0, 0)],
)
def test_bad_constructor_arguments(args):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        core.HwVersion(*args)


def test_constructor_is_positional_only():
    with pytest.raises(TypeError):
        core.HwVersion(vendor_id=1, product_id=2, major_rev=3, minor_rev=4)


def test_fields_are_read_only():
    v = core.HwVersion(1, 2, 3, 4)
    with pytest.raises(AttributeError):
        v.minor_rev = 5
    with pytest.raises(AttributeError):
        core.Tarn_v1.product_id = 0xA2
    assert core.Tarn_v1.product_id == 0


def test_docstrings():
    assert core.HwVersion.vendor_id.__doc__ == "The hardware vendor identifier"
    assert core.HwVersion.minor_rev.__doc__ == "The hardware minor revision"
    assert core.HwVersion.ip_version.__doc__ == "The IP version."
