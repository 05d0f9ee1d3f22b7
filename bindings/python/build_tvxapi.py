"""The package's build backend (PEP 517), standard library only: `pip install ./bindings/python`
needs nothing from the network, in a fresh virtual environment or any other, since the wheel is
put together here: the package's files, its type stubs, and the metadata pip reads."""
import base64
import hashlib
import os
import zipfile

NAME = "tvxapi"
VERSION = "0.1.0"
SUMMARY = "TVXClientAPI from Python: every entry as a function, handles that release themselves"
HERE = os.path.dirname(os.path.abspath(__file__))
TAG = "py3-none-any"
INCLUDED = (".py", ".pyi", ".typed")


def _metadata():
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\nRequires-Python: >=3.9\n"
            % (NAME, VERSION, SUMMARY))


def _wheel_file():
    return "Wheel-Version: 1.0\nGenerator: build_tvxapi\nRoot-Is-Purelib: true\nTag: %s\n" % TAG


def _files():
    """(path in the wheel, path on disk) of the package's files, in a stable order."""
    package = os.path.join(HERE, NAME)
    for name in sorted(os.listdir(package)):
        if name.endswith(INCLUDED) and os.path.isfile(os.path.join(package, name)):
            yield "%s/%s" % (NAME, name), os.path.join(package, name)


def _digest(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def get_requires_for_build_wheel(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    info = "%s-%s.dist-info" % (NAME, VERSION)
    os.makedirs(os.path.join(metadata_directory, info), exist_ok=True)
    with open(os.path.join(metadata_directory, info, "METADATA"), "w") as f:
        f.write(_metadata())
    with open(os.path.join(metadata_directory, info, "WHEEL"), "w") as f:
        f.write(_wheel_file())
    return info


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    wheel = "%s-%s-%s.whl" % (NAME, VERSION, TAG)
    info = "%s-%s.dist-info" % (NAME, VERSION)
    record = []
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel), "w", zipfile.ZIP_DEFLATED) as z:
        entries = [(arc, open(path, "rb").read()) for arc, path in _files()]
        entries += [(info + "/METADATA", _metadata().encode()), (info + "/WHEEL", _wheel_file().encode())]
        for arc, data in entries:
            z.writestr(arc, data)
            record.append("%s,%s,%d" % (arc, _digest(data), len(data)))
        record.append(info + "/RECORD,,")
        z.writestr(info + "/RECORD", "\n".join(record) + "\n")
    return wheel
