import itertools

import pytest
from support.servers import s3_endpoint

_buckets = itertools.count()


@pytest.fixture(scope="session")
def s3_server():
    """The session's S3 endpoint (see support.servers)."""
    pytest.importorskip("moto")
    with pytest.MonkeyPatch.context() as monkeypatch, s3_endpoint(monkeypatch) as endpoint:
        yield endpoint


@pytest.fixture
def bucket(s3_server):
    """A new, empty bucket of the session's S3 endpoint: its name."""
    s3fs = pytest.importorskip("s3fs")
    name = f"bucket-{next(_buckets)}"
    s3fs.S3FileSystem().mkdir(name)
    return name
