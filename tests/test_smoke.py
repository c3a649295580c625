from tarvik_cmd.baseurl import baseurl


def test_baseurl_is_local_dev_server():
    assert baseurl() == "http://127.0.0.1:8000/"
