"""Build backend of the vantles package (PEP 517), standard library only: a wheel written with
zipfile and an sdist written with tarfile, both from the files of this directory. The version
comes from vantles/__init__.py."""

import base64
import hashlib
import io
import os
import re
import tarfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NAME = "vantles"
SDIST_FILES = ["pyproject.toml", "README.md", "_build/vantles_build.py"]
TAG = "py3-none-any"


def _read(path):
    with open(os.path.join(ROOT, path), "rb") as f:
        return f.read()


def _version():
    text = _read(NAME + "/__init__.py").decode()
    return re.search(r'^__version__ = "([^"]+)"', text, re.M).group(1)


def _package_files():
    out = []
    for name in sorted(os.listdir(os.path.join(ROOT, NAME))):
        if name.endswith(".py") or name == "py.typed":
            out.append(NAME + "/" + name)
    return out


def _metadata():
    project = _read("pyproject.toml").decode()
    description = re.search(r'^description = "([^"]*)"', project, re.M).group(1)
    requires = re.search(r'^requires-python = "([^"]*)"', project, re.M).group(1)
    lines = [
        "Metadata-Version: 2.1",
        "Name: " + NAME,
        "Version: " + _version(),
        "Summary: " + description,
        "Requires-Python: " + requires,
        "Classifier: Operating System :: POSIX :: Linux",
        "Classifier: Typing :: Typed",
        "Description-Content-Type: text/markdown",
    ]
    return ("\n".join(lines) + "\n\n").encode() + _read("README.md")


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (path, digest, len(data))


def _write_wheel(wheel_directory, files):
    dist_info = "%s-%s.dist-info" % (NAME, _version())
    files = list(files) + [
        (dist_info + "/METADATA", _metadata()),
        (dist_info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: vantles_build\nRoot-Is-Purelib: "
                                "true\nTag: %s\n" % TAG).encode()),
    ]
    record = [_record_line(path, data) for path, data in files] + [dist_info + "/RECORD,,"]
    files.append((dist_info + "/RECORD", ("\n".join(record) + "\n").encode()))
    name = "%s-%s-%s.whl" % (NAME, _version(), TAG)
    with zipfile.ZipFile(os.path.join(wheel_directory, name), "w", zipfile.ZIP_DEFLATED) as whl:
        for path, data in files:
            info = zipfile.ZipInfo(path, date_time=(2020, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            whl.writestr(info, data)
    return name


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, [(p, _read(p)) for p in _package_files()])


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    """A wheel holding only a .pth file that puts this directory on sys.path."""
    return _write_wheel(wheel_directory, [(NAME + ".pth", (ROOT + "\n").encode())])


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (NAME, _version())
    name = base + ".tar.gz"
    entries = [(p, _read(p)) for p in SDIST_FILES + _package_files()]
    entries.append(("PKG-INFO", _metadata()))
    path = os.path.join(sdist_directory, name)
    with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for path, data in entries:
            info = tarfile.TarInfo(base + "/" + path)
            info.size = len(data)
            info.mode = 0o644
            info.mtime = int(time.time())
            tar.addfile(info, io.BytesIO(data))
    return name
