import _veltrinax


def test_version():
    assert _veltrinax.version() == "0.2.13"
