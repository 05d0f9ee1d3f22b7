"""The package's build backend (PEP 517), standard library only: `pip install ./bindings/python`
needs nothing from the network, in a fresh virtual environment or any other, since the wheel is
put together here: the package's files, its type stubs, the metadata pip reads, and the compiled
module (native/) where the interpreter's headers and a C compiler are there; without them the
package keeps its ctypes path."""
import base64
import hashlib
import os
import shlex
import subprocess
import sysconfig
import tempfile
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


def _wheel_file(tag=TAG):
    return "Wheel-Version: 1.0\nGenerator: build_tvxapi\nRoot-Is-Purelib: %s\nTag: %s\n" % (
        "true" if tag == TAG else "false", tag)


def _files():
    """(path in the wheel, path on disk) of the package's files, in a stable order."""
    package = os.path.join(HERE, NAME)
    for name in sorted(os.listdir(package)):
        if name.endswith(INCLUDED) and os.path.isfile(os.path.join(package, name)):
            yield "%s/%s" % (NAME, name), os.path.join(package, name)


def _compiled_module(folder):
    """Builds tvxapi._native into `folder`: its path, or None when it cannot be built here."""
    include = sysconfig.get_paths().get("include")
    headers = os.path.normpath(os.path.join(HERE, os.pardir, os.pardir, "include"))
    if os.name == "nt" or not include or not os.path.exists(os.path.join(include, "Python.h")) \
            or not os.path.exists(os.path.join(headers, "TVXClientAPI.h")):
        return None
    target = os.path.join(folder, "_native" + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = shlex.split(sysconfig.get_config_var("CC") or "cc")
    command = compiler + ["-shared", "-fPIC", "-O2", "-fvisibility=hidden", "-I" + include, "-I" + headers,
                          "-I" + os.path.join(HERE, "native"), os.path.join(HERE, "native", "tvxapi_native.c"),
                          "-o", target, "-ldl"]
    try:
        subprocess.run(command, check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    return target


def _tag(compiled):
    if not compiled:
        return TAG
    version = "cp%d%d" % tuple(int(v) for v in sysconfig.get_python_version().split(".")[:2])
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return "%s-%s-%s" % (version, version, platform)


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
    info = "%s-%s.dist-info" % (NAME, VERSION)
    with tempfile.TemporaryDirectory() as scratch:
        compiled = _compiled_module(scratch)
        tag = _tag(compiled)
        wheel = "%s-%s-%s.whl" % (NAME, VERSION, tag)
        record = []
        with zipfile.ZipFile(os.path.join(wheel_directory, wheel), "w", zipfile.ZIP_DEFLATED) as z:
            entries = [(arc, open(path, "rb").read()) for arc, path in _files()]
            if compiled:
                entries.append(("%s/%s" % (NAME, os.path.basename(compiled)), open(compiled, "rb").read()))
            entries += [(info + "/METADATA", _metadata().encode()), (info + "/WHEEL", _wheel_file(tag).encode())]
            for arc, data in entries:
                z.writestr(arc, data)
                record.append("%s,%s,%d" % (arc, _digest(data), len(data)))
            record.append(info + "/RECORD,,")
            z.writestr(info + "/RECORD", "\n".join(record) + "\n")
    return wheel
