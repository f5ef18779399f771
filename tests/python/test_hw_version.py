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
    assert (version.vendor_id, version.product_id, version.major_rev, version.minor_rev) == fields
    assert str(version) == repr(version) == text
    assert version.ip_version == ip and version == core.HwVersion(*fields)


@pytest.mark.parametrize("fields, text", [((0, 0, 0, 0), "00.00.000.000"),
                                          ((255, 255, 255, 255), "FF.FF.255.255"),
                                          ((0x0A, 0x0B, 12, 100), "0A.0B.012.100")])
def test_text_form(fields, text):
    assert str(core.HwVersion(*fields)) == text


@pytest.mark.parametrize("product_id, ip", [
    (0x00, core.v1), (0xA1, core.v1), (0xA2, core.v2), (0xB1, core.mote), (0xA0, core.none),
    (0xA3, core.none), (0xB0, core.none), (0xB2, core.none), (0x01, core.none), (0xFF, core.none)])
def test_ip_version_from_product_id(product_id, ip):
    assert core.HwVersion(0xBC, product_id, 1, 0).ip_version == ip


def test_equality_hash_and_read_only_fields():
    v = core.HwVersion(0xBC, 0xA1, 3, 9)
    assert v == core.XVR2200_v1 and v != core.Gemel_v1 and v != 5 and v != "BC.A1.003.009"
    for i in range(4):
        fields = [0xBC, 0xA1, 3, 9]
        fields[i] ^= 1
        assert core.HwVersion(*fields) != v
    with pytest.raises(TypeError):
        hash(v)
    with pytest.raises(AttributeError):
        core.Tarn_v1.product_id = 0xA2
    assert core.Tarn_v1.product_id == 0


@pytest.mark.parametrize("args", [(256, 0, 0, 0), (0, 0, 0, 256), (-1, 0, 0, 0), (1.0, 0, 0, 0),
                                  (1, 2, 3), (1, 2, 3, 4, 5)])
def test_bad_constructor_arguments(args):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        core.HwVersion(*args)
