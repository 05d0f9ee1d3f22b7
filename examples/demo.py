#!/usr/bin/env python3
"""The demo's cross-library scenario (examples/demo.c) from Python, through the tvxapi package:
a field and an operator on the sample server, a field and an operator in process, connected so
that TVXClientAPI moves the server operator into the in-process library and deep-copies a server
field. Every step says which library it went to and what came back; every value is checked.

    demo.py <directory of the sample libraries> <server address>

Exit status 0 when every step gave what the scenario must give; 1 with the message otherwise.
TVXClientAPI is found as tvxapi finds it (TVXAPI_LIBRARY, the installed package, a build tree).
"""
import os
import sys
from typing import Iterable, Optional, TypeVar

try:
    import tvxapi
except ImportError:  # run from a source tree: the package sits in bindings/python
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "bindings", "python"))
    import tvxapi


class Failed(Exception):
    pass


H = TypeVar("H", bound=tvxapi.Handle)


def made(what: str, handle: Optional[H]) -> H:
    """A handle an entry returned; None (a null handle without a failure) fails the scenario."""
    if handle is None:
        raise Failed("%s returned no object" % what)
    return handle


def expect(what: str, got: Optional[Iterable[float]], want: Iterable[float]) -> None:
    if got is None or list(got) != list(want):
        raise Failed("%s: expected %s, got %s" % (what, list(want), None if got is None else list(got)))


def values_text(values: Optional[Iterable[float]]) -> str:
    return "[%s]" % ", ".join("%g" % v for v in (values or []))


def scenario(directory: str, address: str) -> None:
    server_values = [1.0, 2.0, 3.0]
    local_values = [10.0, 20.0, 30.0]
    ids = [11, 12, 13]

    print("1. Loading the implementation libraries")
    for file, name in (("tvx_sample_inprocess", "common"), ("tvx_sample_remote", "remote")):
        tvxapi.load(os.path.join(directory, file), name)
        print('  loaded %s as "%s"' % (file, name))

    print("2. A client of the server -> remote")
    client = made("Client_new_full_address", tvxapi.Client_new_full_address(address))
    print('  client of %s, protocol "%s"' % (address, tvxapi.Client_get_protocol_name(client)))

    print("3. A field on the server -> remote")
    server_field = made("Field_new_on_client", tvxapi.Field_new_on_client(client, 1, 3, "Nodal"))
    tvxapi.CSField_SetData(server_field, server_values)
    server_scoping = made("Scoping_new_on_client", tvxapi.Scoping_new_on_client(client))
    tvxapi.Scoping_SetIds(server_scoping, ids)
    tvxapi.CSField_SetCScoping(server_field, server_scoping)
    print("  values [1, 2, 3] on entities 11, 12, 13")

    print('4. An operator on the server, "scale" by 2, fed with that field -> remote')
    server_scale = made("Operator_new_on_client", tvxapi.Operator_new_on_client("scale", client))
    tvxapi.Operator_connect_Field(server_scale, 0, server_field)
    tvxapi.Operator_connect_double(server_scale, 1, 2.0)
    print("  operator id %d on the server" % tvxapi.Operator_get_id_for_client(server_scale))

    print('5. A local field and a local "add" operator -> common')
    local_field = made("Field_new", tvxapi.Field_new(1, 3, "Nodal"))
    tvxapi.CSField_SetData(local_field, local_values)
    add = made("Operator_new", tvxapi.Operator_new("add"))
    print("  local values [10, 20, 30]")

    print("6. Connecting the server operator into the local one: two libraries meet")
    tvxapi.Operator_connect_Operator_as_input(add, 0, server_scale)
    tvxapi.Operator_connect_Field(add, 1, local_field)
    moved = tvxapi.QuorixCore_HasBeenMovedLocally(server_scale)
    print("  the server operator was moved into the common library (a proxy): %s" % ("yes" if moved else "no"))
    if not moved:
        raise Failed("the server operator should have been moved")

    print('7. Running the local operator -> common, which runs "scale" on the server through the proxy')
    tvxapi.Operator_run(add)
    total = made("Operator_getoutput_Field", tvxapi.Operator_getoutput_Field(add, 0))
    values = tvxapi.CSField_GetData(total)
    expect("2 x [1, 2, 3] + [10, 20, 30]", values, [12, 24, 36])
    expect("the result's scoping", tvxapi.CSField_GetScoping(total), ids)
    print('  result %s on entities 11, 12, 13, location "%s", %d component(s)'
          % (values_text(values), tvxapi.CSField_GetLocation(total), tvxapi.CSField_GetNumberOfComponents(total)))

    print('8. A local "scale" by 10 fed with the server field: the field is deep-copied -> common')
    local_scale = made("Operator_new", tvxapi.Operator_new("scale"))
    tvxapi.Operator_connect_Field(local_scale, 0, server_field)
    tvxapi.Operator_connect_double(local_scale, 1, 10.0)
    scaled = made("Operator_getoutput_Field", tvxapi.Operator_getoutput_Field(local_scale, 0))
    values = tvxapi.CSField_GetData(scaled)
    copied = tvxapi.QuorixCore_HasBeenMovedLocally(server_field)
    print("  the server field now has a local copy: %s; result %s" % ("yes" if copied else "no", values_text(values)))
    expect("10 x [1, 2, 3]", values, [10, 20, 30])

    print("9. A failure as a user meets it: loading a library that is not there")
    try:
        tvxapi.load("./no_such_framework", "other")
        raise Failed("loading a missing file succeeded")
    except tvxapi.Error as e:
        print("  error size %d: %s" % (e.size, e.message))

    print("10. Releasing everything")
    for handle in (scaled, local_scale, total, add, local_field, server_scale, server_scoping, server_field, client):
        handle.close()
    tvxapi.unload("remote")
    tvxapi.unload("common")


def main(argv: list) -> int:
    if len(argv) != 3:
        sys.stderr.write("usage: %s <directory of the sample libraries> <server address>\n" % argv[0])
        return 2
    try:
        scenario(argv[1], argv[2])
    except (tvxapi.Error, Failed) as e:
        sys.stderr.write("FAILED: %s\n" % e)
        return 1
    print("SUCCESS: the scenario gave [12, 24, 36] and [10, 20, 30] as it must")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
