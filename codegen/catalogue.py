"""Reads the entry catalogue (catalogue/*.entries) into a model shared by the checker and the
generator. Standard library only."""

import os
import re
import shlex

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CATALOGUE_DIR = os.path.join(ROOT, "catalogue")

CLASSES = ("common", "both", "remote")
SHAPES = ("object", "fast", "free", "client", "routed", "two", "release", "own")
HANDLE_RESULTS = ("TvxObject", "Operator", "Workflow", "SharedTvxVector")
HANDLE_PARAMS = ("handle", "client")
DEFAULT_HOME = {"common": "common", "both": "default", "remote": "remote"}

# Words that end a type rather than name a parameter.
_TYPE_WORDS = {
    "int", "char", "double", "float", "bool", "long", "short", "unsigned", "signed", "void",
    "const", "size_t", "wchar_t", "handle", "client", "vector",
}


class CatalogueError(Exception):
    pass


class Param:
    def __init__(self, ctype, name, count=None):
        self.ctype = ctype  # as written, e.g. "int&", "const char*", "handle"
        self.name = name    # may be None
        # For an array (`values[count]`, `values[3]`, `values[]`): the parameter that holds its
        # length, a fixed length in digits, or "" when no parameter gives it. None: not an array.
        self.count = count

    @property
    def is_array(self):
        return self.count is not None

    @property
    def counted_by(self):
        """The name of the parameter holding this array's length, or None."""
        return self.count if self.count and not self.count.isdigit() else None

    @property
    def is_handle(self):
        return self.ctype in HANDLE_PARAMS

    @property
    def is_vector(self):
        return self.ctype == "vector"

    def __repr__(self):
        return "Param(%r, %r)" % (self.ctype, self.name)


class Export:
    """One exported entry (one catalogue line)."""

    def __init__(self, family, lineno, cls, shape, result, name, params, options):
        self.family = family
        self.lineno = lineno
        self.cls = None if cls == "-" else cls
        self.shape = shape
        self.result = result
        self.name = name
        self.params = params
        self.options = options
        self.err = "noerr" not in options
        self.slot = None  # Slot, filled by Catalogue

    def where(self):
        return "%s:%d (%s)" % (self.family, self.lineno, self.name)

    @property
    def slot_name(self):
        """Name of the implementation entry this export's own slot carries, or None."""
        if "calls" in self.options or self.shape == "own" and self.cls is None:
            return None
        return self.options.get("slot", self.name)

    @property
    def target_name(self):
        """The implementation entry this export calls (own slot, or another export's slot)."""
        return self.options.get("calls") or self.slot_name

    @property
    def handle_class(self):
        if self.result in HANDLE_RESULTS:
            return self.result
        if self.result == "TvxObject[]":
            return "TvxObject"
        return None

    @property
    def returns_handle(self):
        return self.result in HANDLE_RESULTS

    @property
    def home(self):
        if "home" in self.options:
            return self.options["home"]
        if self.shape == "routed":
            return "default"
        if self.cls is None:
            return None
        return DEFAULT_HOME[self.cls]

    @property
    def outputs(self):
        """The names of the pointer parameters listed in out=."""
        listed = self.options.get("out")
        return [n for n in listed.split(",") if n] if isinstance(listed, str) else []

    def handle_positions(self):
        return [i for i, p in enumerate(self.params) if p.is_handle]

    @property
    def binding(self):
        """What a binding needs: parameter and result kinds, the release of an owned result."""
        return binding(self)

    @property
    def client_position(self):
        for i, p in enumerate(self.params):
            if p.ctype == "client":
                return i
        return None


# --- what a binding needs to know --------------------------------------------------------------
#
# Each parameter is one of:
#   handle      a client handle (TvxObject*), borrowed for the call
#   vector      a SharedTvxVector handle, borrowed for the call
#   handles     an array of client handles (`handle* objects[count]`)
#   array       an input array whose length is an input integer of the entry (`values[count]`) and
#               whose elements a binding can take from a sequence (see ARRAY_ELEMENTS)
#   count       the length of one or more `handles` or `array` parameters: filled in by the bindings
#   out         a scalar output (T& in the catalogue)
#   size        the output that receives the length of the returned array or string (result_count=)
#   value       anything passed as it is: numbers, bools, text, raw pointers, callbacks, and the
#               arrays a binding cannot fill for the caller (outputs, arrays of unknown length)
# and each result one of:
#   void, value       nothing, or a number or raw pointer passed through
#   handle            a new handle the caller owns: Quorix_delete_shared_object releases it
#                     (Operator and Workflow handles too; the class is handle_class)
#   vector            a new SharedTvxVector the caller owns: TvxVector_delete releases it
#   handles           an array of new handles: each released on its own, the array with
#                     Quorix_delete_shared_object_array
#   string            text the library keeps (a const char*): copied, never released
#   owned_string      text handed to the caller (a char*): copied, then given back with
#                     Quorix_deleteString (its _for_object form when a handle chose the library)
#   array             numbers the library keeps, with a size output: copied, never released
#
# Options: `result_count=NAME` names the output that receives a result array's length (`none`: no
# parameter gives it), `owned=Release` the entry that releases a result the caller owns, `borrowed`
# marks a char* result the library keeps. `out=a,b` lists the pointer parameters an entry writes
# through; the bindings pass those as they are.

ARRAY_RESULTS = {"const int*": "int", "int* const": "int", "double* const": "double", "const double*": "double"}

# What a binding can take an input array from, by its element: numbers, bytes (`const char*` with
# a length: text or binary data) and texts (`const char**`: an array of strings).
NUMBER_ELEMENTS = ("int", "double", "size_t")
COUNT_TYPES = ("int", "size_t")  # the integer types of a length passed by value


def pointer_base(ctype):
    """`const int* const` -> ("int", 1): the element type and the number of indirections."""
    words = ctype.replace("&", "*").replace("*", " * ").split()
    return " ".join(w for w in words if w not in ("*", "const")), words.count("*")


def array_element(p):
    """The element kind of an array parameter a binding can fill: one of NUMBER_ELEMENTS, "byte",
    "text", "handle"; None for the others (void*, wchar_t*, arrays of arrays)."""
    if p.ctype == "handle*":
        return "handle"
    base, stars = pointer_base(p.ctype)
    if stars == 1 and base in NUMBER_ELEMENTS:
        return base
    if stars == 1 and base in ("char", "unsigned char"):
        return "byte"
    if stars == 2 and base == "char":
        return "text"
    return None


class Binding:
    def __init__(self, params, result, release, size_param, arrays):
        self.params = params          # [(Param, kind)]
        self.result = result          # result kind
        self.release = release        # the entry that releases an owned result, or None
        self.size_param = size_param  # index of the `size` parameter, or None
        self.arrays = arrays          # {index of a `handles` or `array` parameter: index of its count}

    def element(self, export):
        """The element type of an array result ("int" or "double")."""
        return ARRAY_RESULTS.get(export.result)

    def counted(self, index):
        """The indices of the arrays whose length the `count` parameter at `index` gives."""
        return [a for a, c in sorted(self.arrays.items()) if c == index]


def binding(e):
    position = {p.name: i for i, p in enumerate(e.params) if p.name}
    kinds = []
    for p in e.params:
        if p.ctype in ("handle", "client"):
            kinds.append("handle")
        elif p.ctype == "vector":
            kinds.append("vector")
        elif p.ctype.endswith("&"):
            kinds.append("out")
        else:
            kinds.append("value")
    arrays = {}
    for i, p in enumerate(e.params):
        c = position.get(p.counted_by)
        element = array_element(p)
        if c is None or element is None or e.params[c].ctype not in COUNT_TYPES:
            continue
        kinds[i] = "handles" if element == "handle" else "array"
        kinds[c] = "count"
        arrays[i] = c
    result, release, size_param = "value", None, None
    counted = e.options.get("result_count")
    size = position.get(counted) if counted not in (None, "none") else None
    if e.result == "void":
        result = "void"
    elif e.result in ("TvxObject", "Operator", "Workflow"):
        result, release = "handle", "Quorix_delete_shared_object"
    elif e.result == "SharedTvxVector":
        result, release = "vector", "TvxVector_delete"
    elif e.result == "TvxObject[]":
        result, release, size_param = "handles", "Quorix_delete_shared_object_array", size
    elif e.result == "const char*" or (e.result == "char*" and "borrowed" in e.options):
        result = "string"
    elif e.result == "char*":
        result = "owned_string"
        first_handle = e.params and e.params[0].ctype in ("handle", "client")
        release = e.options.get("owned") or ("Quorix_deleteString_for_object" if first_handle else "Quorix_deleteString")
        size_param = size
    elif e.result in ARRAY_RESULTS and size is not None:
        result, size_param = "array", size
    if size_param is not None:
        kinds[size_param] = "size"
    if "owned" in e.options and result not in ("owned_string",):
        release = e.options["owned"]
    return Binding(list(zip(e.params, kinds)), result, release, size_param, arrays)


class Slot:
    def __init__(self, index, name, cls, export):
        self.index = index
        self.name = name
        self.cls = cls
        self.export = export  # the export whose signature this slot carries
        self.form = "single"

    @property
    def result(self):
        return self.export.result

    @property
    def params(self):
        return self.export.params

    @property
    def err(self):
        return self.export.err


def _split_params(text):
    out, depth, cur = [], 0, ""
    for ch in text:
        if ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
        if ch == "," and depth == 0:
            out.append(cur)
            cur = ""
        else:
            cur += ch
    if cur.strip():
        out.append(cur)
    return [p.strip() for p in out]


_NAME = re.compile(r"(?P<name>[A-Za-z_]\w*)(?:\[(?P<count>[A-Za-z_]\w*|[1-9]\d*)?\])?")


def _parse_param(text, where):
    if not text:
        raise CatalogueError("%s: empty parameter" % where)
    if "(" in text:  # a function pointer type, its name (if any) after the parameter list
        close = text.rfind(")")
        tail = text[close + 1:].strip()
        if tail and not re.fullmatch(r"[A-Za-z_]\w*", tail):
            raise CatalogueError("%s: a function pointer's name is not a name: %r" % (where, tail))
        return Param(" ".join(text[:close + 1].split()), tail or None)
    tokens = text.split()
    last = tokens[-1]
    m = _NAME.fullmatch(last)
    if len(tokens) >= 2 and m and m.group("name") not in _TYPE_WORDS:
        rest = tokens[:-1]
        if any(t not in ("const", "unsigned", "signed") for t in rest):
            count = None
            if "[" in last:
                count = m.group("count") or ""
            return Param(" ".join(rest), m.group("name"), count)
    if "[" in text:
        raise CatalogueError("%s: an array marking follows a parameter name: %r" % (where, text))
    return Param(" ".join(tokens), None)


_SIG = re.compile(r"^(?P<result>.+?)\s*\b(?P<name>[A-Za-z_]\w*)\s*\((?P<params>.*)\)$")


def parse_line(family, lineno, line):
    where = "%s:%d" % (family, lineno)
    parts = [p.strip() for p in line.split("|")]
    if len(parts) < 2 or len(parts) > 3:
        raise CatalogueError("%s: expected 'class shape | signature [| options]'" % where)
    head = parts[0].split()
    if len(head) != 2:
        raise CatalogueError("%s: expected class and shape before the first '|'" % where)
    cls, shape = head
    if cls not in CLASSES and cls != "-":
        raise CatalogueError("%s: unknown class %r" % (where, cls))
    if shape not in SHAPES:
        raise CatalogueError("%s: unknown shape %r" % (where, shape))
    m = _SIG.match(parts[1])
    if not m:
        raise CatalogueError("%s: cannot read signature %r" % (where, parts[1]))
    result = " ".join(m.group("result").split())
    params = [_parse_param(p, where) for p in _split_params(m.group("params"))]
    if len(params) == 1 and params[0].ctype == "void" and params[0].name is None:
        params = []
    options = {}
    if len(parts) == 3:
        for tok in shlex.split(parts[2]):
            if "=" in tok:
                k, v = tok.split("=", 1)
                options[k] = v
            else:
                options[tok] = True
    known = {"slot", "calls", "raw", "home", "noerr", "note", "out", "owned", "borrowed", "result_count",
             "own_account"}
    for k in options:
        if k not in known:
            raise CatalogueError("%s: unknown option %r" % (where, k))
    return Export(family, lineno, cls, shape, result, m.group("name"), params, options)


class Catalogue:
    def __init__(self, directory=CATALOGUE_DIR):
        self.families = []   # (family name, [exports])
        self.exports = []
        self.by_name = {}
        self.slots = []
        files = sorted(f for f in os.listdir(directory) if f.endswith(".entries"))
        for fname in files:
            family = re.sub(r"^\d+_", "", fname[: -len(".entries")])
            entries = []
            with open(os.path.join(directory, fname), encoding="utf-8") as fh:
                for lineno, raw in enumerate(fh, 1):
                    line = raw.strip()
                    if not line or line.startswith("#"):
                        continue
                    e = parse_line(family, lineno, line)
                    if e.name in self.by_name:
                        raise CatalogueError("%s: %s is listed twice" % (e.where(), e.name))
                    self.by_name[e.name] = e
                    entries.append(e)
                    self.exports.append(e)
            self.families.append((family, entries))
        self._build_slots()

    def _build_slots(self):
        seen = {}
        for e in self.exports:
            name = e.slot_name
            if name is None:
                continue
            if e.cls is None:
                raise CatalogueError("%s: an export with a slot needs a class" % e.where())
            key = (name, e.cls)
            if key in seen:
                raise CatalogueError("%s: slot %s (%s) already carried by %s"
                                     % (e.where(), name, e.cls, seen[key].name))
            s = Slot(len(self.slots), name, e.cls, e)
            seen[key] = e
            e.slot = s
            self.slots.append(s)
        by_slot_name = {}
        for s in self.slots:
            by_slot_name.setdefault(s.name, []).append(s)
        for name, group in by_slot_name.items():
            if len(group) == 2:
                for s in group:
                    s.form = "common form" if s.cls == "common" else "remote form"
        self.slots_by_name = by_slot_name
        for e in self.exports:
            if "calls" in e.options:
                target = by_slot_name.get(e.options["calls"])
                if not target:
                    raise CatalogueError("%s: calls unknown slot %s" % (e.where(), e.options["calls"]))

    def slot_for_call(self, export):
        """The slot an export calls: its own, or for calls=Name the single-form slot of Name."""
        if export.slot is not None:
            return export.slot
        target = export.options.get("calls")
        if not target:
            return None
        group = self.slots_by_name[target]
        if len(group) != 1:
            forms = [s for s in group if s.cls == "remote"]
            return forms[0]
        return group[0]
