"""How the public C headers declare an export: types, result, parameter names. Shared by the header
generator and the C++ and Python binding generators, so all three say the same."""

PSEUDO_PARAMS = {"handle": "TvxObject*", "client": "TvxObject*", "vector": "SharedTvxVector*",
                 "handle*": "TvxObject**"}
PSEUDO_RESULTS = {"TvxObject": "TvxObject*", "Operator": "TvxObject*", "Workflow": "TvxObject*",
                  "SharedTvxVector": "SharedTvxVector*", "TvxObject[]": "TvxObject**"}


def strip_top_const(t):
    """`double* const` -> `double*`: a qualifier on a returned value means nothing to the caller."""
    t = t.strip()
    if t.endswith("* const"):
        return t[: -len(" const")]
    return t


def deref(t):
    """`int&` -> `int*`: C has no references."""
    return t[:-1].rstrip() + "*" if t.endswith("&") else t


def public_type(ctype):
    return PSEUDO_PARAMS.get(ctype, deref(ctype))


def public_result(result):
    return strip_top_const(PSEUDO_RESULTS.get(result, result))


def declare(ctype, name):
    """A C declaration of `name` with type `ctype` (function pointer types take the name inside)."""
    if "(*)" in ctype:
        return ctype.replace("(*)", "(*%s)" % name, 1)
    return ctype + " " + name


def param_names(e):
    """Parameter names for declarations: the catalogue's, else one derived from the type."""
    names, used = [], set()
    for i, p in enumerate(e.params):
        n = p.name or {"handle": "obj", "client": "client", "vector": "vector", "handle*": "objects"}.get(
            p.ctype, "arg%d" % (i + 1))
        if n in used:
            n = "%s%d" % (n, i + 1)
        used.add(n)
        names.append(n)
    return names


def public_params(e):
    ps = [declare(public_type(p.ctype), n) for p, n in zip(e.params, param_names(e))]
    if e.err:
        ps += ["int* error_size", "wchar_t** error_message"]
    return ", ".join(ps) if ps else "void"


def declaration(e):
    """The export as the public C header declares it."""
    return "%s %s(%s)" % (public_result(e.result), e.name, public_params(e))
