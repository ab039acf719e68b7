import _ivro


def test_import_publishes_the_type():
    assert _ivro.IVRO.__name__ == "IVRO"
