"""Bad input through the package is refused with TypeError or ValueError naming the entry and the
parameter, before the C call: arrays give their own length, handles are objects and never integers,
a released handle is never passed on. The cases that once read past a buffer or crashed the
interpreter run in a child process, so that a crash fails the test instead of ending the suite."""
import array
import os
import subprocess
import sys
import textwrap
import unittest

from tvx_test_support import BIN, LedgerTest, entries_called, last_call_of, recorder, tvxapi

PRELUDE = """
import array, gc, sys
sys.path.insert(0, %r)
import tvxapi
tvxapi.load(%r, "common")
def refused(kind, call, *args):
    try:
        call(*args)
    except kind as exc:
        print("refused:", exc)
        return
    print("accepted", call.__name__)
""" % (os.path.dirname(os.path.dirname(tvxapi.__file__)), os.path.join(BIN, "tvx_sample_inprocess"))


def run_child(code):
    """Runs `code` after PRELUDE in a new interpreter: (exit status, output lines)."""
    p = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], capture_output=True,
                       text=True, timeout=120, env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
    return p.returncode, (p.stdout + p.stderr).splitlines()


class InAChildProcess(unittest.TestCase):
    """Against the in-process sample library, which really keeps the values it is given."""

    def test_a_field_holds_exactly_the_values_given(self):
        status, out = run_child("""
            with tvxapi.Field_new(1, 3, "Nodal") as f:
                tvxapi.CSField_SetData(f, [1.0, 2.0, 3.0])
                print("values", list(tvxapi.CSField_GetData(f)))
                tvxapi.CSField_SetData(f, array.array("d", [4.0, 5.0]))
                print("values", list(tvxapi.CSField_GetData(f)))
                refused(TypeError, tvxapi.CSField_SetData, f, 10, [1.0, 2.0, 3.0])
                print("values", list(tvxapi.CSField_GetData(f)))
        """)
        self.assertEqual(status, 0, out)
        self.assertEqual(out[0:2], ["values [1.0, 2.0, 3.0]", "values [4.0, 5.0]"])
        self.assertTrue(out[2].startswith("refused: CSField_SetData() takes 2 arguments (3 given)"), out)
        self.assertEqual(out[3], "values [4.0, 5.0]")  # nothing written by the refused call

    def test_raw_integers_and_released_handles_are_refused_and_the_interpreter_lives(self):
        status, out = run_child("""
            refused(TypeError, tvxapi.CSField_GetData, 12345)
            f = tvxapi.Field_new(1, 3, "Nodal")
            raw = f.handle
            f.close()
            refused(TypeError, tvxapi.Quorix_delete_shared_object, raw)
            refused(ValueError, tvxapi.Quorix_delete_shared_object, f)
            refused(ValueError, tvxapi.CSField_GetData, f)
            g = tvxapi.Field_new(1, 3, "Nodal")
            tvxapi.Quorix_delete_shared_object(g)  # released by the entry: the object knows
            refused(ValueError, tvxapi.CSField_GetData, g)
            del g
            gc.collect()
            print("alive")
        """)
        self.assertEqual(status, 0, out)
        self.assertEqual(out, [
            "refused: CSField_GetData(): parameter 'field' takes a tvxapi.Object or None, not int",
            "refused: Quorix_delete_shared_object(): parameter 'obj' takes a tvxapi.Object or None, not int",
            "refused: Quorix_delete_shared_object(): parameter 'obj' is <tvxapi.Object closed>: it has been "
            "released or detached",
            "refused: CSField_GetData(): parameter 'field' is <tvxapi.Object closed>: it has been released or "
            "detached",
            "refused: CSField_GetData(): parameter 'field' is <tvxapi.Object closed>: it has been released or "
            "detached",
            "alive"])


class NothingReachesTheLibrary(LedgerTest):
    """Against the recording doubles: a refused call leaves no trace in the call log."""

    def setUp(self):
        super().setUp()
        self.load("double_common", "common")
        self.field = tvxapi.Field_new(1, 3, "Nodal")
        self.vector = tvxapi.TvxVector_new()
        recorder.tvxrec_clear_log()

    def tearDown(self):
        self.field.close()
        self.vector.close()
        super().tearDown()

    def refused(self, kind, message, call, *args):
        with self.assertRaises(kind) as caught:
            call(*args)
        self.assertIn(message, str(caught.exception))
        self.assertEqual(entries_called(), [], "a refused call reached the library")

    def test_arrays_of_the_wrong_kind_are_refused_naming_the_parameter(self):
        self.refused(TypeError, "CSField_SetData(): parameter 'values' takes a sequence or buffer of numbers",
                     tvxapi.CSField_SetData, self.field, [1.0, "2", 3.0])
        self.refused(TypeError, "CSField_SetData(): parameter 'values' takes a sequence or buffer of numbers, "
                     "not str", tvxapi.CSField_SetData, self.field, "1.0")
        self.refused(TypeError, "CSField_SetScoping(): parameter 'ids' takes a sequence or buffer of integers",
                     tvxapi.CSField_SetScoping, self.field, [1, 2.5])
        self.refused(TypeError, "CSStringField_SetData(): parameter 'values' takes a sequence of str or bytes, "
                     "not one holding float", tvxapi.CSStringField_SetData, self.field, ["a", 1.5])
        self.refused(TypeError, "Collection_OfFieldNewWithData(): parameter 'objects' takes a tvxapi.Object or "
                     "None, not int", tvxapi.Collection_OfFieldNewWithData, [self.field, 7], None, 0, None)
        self.refused(TypeError, "CSField_GetNumberOfComponents(): parameter 'field' takes a tvxapi.Object or "
                     "None, not Vector", tvxapi.CSField_GetNumberOfComponents, self.vector)

    def test_arrays_sharing_a_length_must_agree(self):
        self.refused(ValueError, "CSStringField_SetData_with_size(): values and sizes must have one length "
                     "(values: 2, sizes: 3)",
                     tvxapi.CSStringField_SetData_with_size, self.field, ["ab", "c"], [2, 1, 0])

    def test_lengths_come_from_the_arrays_given(self):
        tvxapi.CSStringField_SetData_with_size(self.field, ["ab", b"c"], [2, 1])
        call = last_call_of("CSStringField_SetData_with_size")
        self.assertEqual(call.args[1].i, 2)
        made = tvxapi.Quorix_deserialize("caf\u00e9")  # text as UTF-8: five bytes
        self.assertEqual(last_call_of("Quorix_deserialize").args[1].u, 5)
        if made is not None:
            made.close()
        tvxapi.CSField_SetData(self.field, [])
        self.assertEqual(last_call_of("CSField_SetData").args[1].i, 0)

    def test_signatures_show_what_the_caller_passes(self):
        doc = tvxapi.CSField_SetData.__doc__
        self.assertTrue(doc.startswith("CSField_SetData(field, values) -> None; raises tvxapi.Error"), doc)
        self.assertIn("count: not passed, the length of values", doc)
        self.assertIn("values and sizes", tvxapi.CSStringField_SetData_with_size.__doc__)


if __name__ == "__main__":
    unittest.main()
