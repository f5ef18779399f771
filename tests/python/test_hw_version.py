"""HwVersion: the text form and the IP version each product id selects."""

import pytest

import vorna.core as core


@pytest.mark.parametrize("fields, text", [((0, 0, 0, 0), "00.00.000.000"),
                                          ((255, 255, 255, 255), "FF.FF.255.255"),
                                          ((0x0A, 0x0B, 12, 100), "0A.0B.012.100")])
def test_text_form(fields, text):
    assert str(core.HwVersion(*fields)) == repr(core.HwVersion(*fields)) == text


@pytest.mark.parametrize("product_id, ip", [
    (0x00, core.v1), (0xA1, core.v1), (0xA2, core.v2), (0xB1, core.mote), (0xA0, core.none),
    (0xA3, core.none), (0xB0, core.none), (0xB2, core.none), (0x01, core.none), (0xFF, core.none)])
def test_ip_version_from_product_id(product_id, ip):
    assert core.HwVersion(0xBC, product_id, 1, 0).ip_version == ip


def test_equality_and_bad_arguments():
    v = core.HwVersion(0xBC, 0xA1, 3, 9)
    assert v == core.XVR2200_v1 and v != core.Gemel_v1 and v != 5
    for i in range(4):
        fields = [0xBC, 0xA1, 3, 9]
        fields[i] ^= 1
        assert core.HwVersion(*fields) != v
    for args in [(256, 0, 0, 0), (0, 0, 0, 256), (-1, 0, 0, 0), (1.0, 0, 0, 0), (1, 2, 3)]:
        with pytest.raises(TypeError, match="incompatible constructor arguments"):
            core.HwVersion(*args)
