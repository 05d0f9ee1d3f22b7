"""Ownership through the package, judged by the recording doubles' ledger: every object a double
hands out is released exactly once, whether the caller closes it, leaves a `with` block, drops it,
meets an exception or moves it across libraries; failures carry the library's exact text."""
import array
import ctypes
import gc
import unittest
from unittest import mock

from tvx_test_support import (COMPILED, LedgerTest, calls, double_path, entries_called, last_call_of, preset_outputs,
                              recorder, tvxapi, unload_everything)

from tvxapi import _runtime


class Releasing(LedgerTest):
    def setUp(self):
        super().setUp()
        self.load("double_common", "common")

    def releases_of(self, entry):
        return [c.args[0].p for c in calls() if c.entry == entry]

    def test_close_releases_once_and_the_handle_classes_follow_the_entry(self):
        field = tvxapi.Field_new(1, 3, "Nodal")
        operator = tvxapi.Operator_new("scale")
        workflow = tvxapi.WorkFlow_new()
        self.assertEqual([type(h) for h in (field, operator, workflow)], [tvxapi.Object, tvxapi.Operator, tvxapi.Workflow])
        self.assertEqual(recorder.tvxrec_objects_live(), 3)
        raw = field.handle
        self.assertIsInstance(raw, int)
        for h in (field, operator, workflow):
            h.close()
            h.close()  # a second close does nothing
            self.assertTrue(h.closed)
            self.assertIsNone(h.handle)
        self.assertEqual(len(self.releases_of("Quorix_delete_shared_object")), 3)
        self.assertEqual(recorder.tvxrec_objects_live(), 0)
        with self.assertRaises(ValueError):
            tvxapi.CSField_GetNumberOfComponents(field)  # a released handle is not passed on

    def test_a_handle_kept_past_its_librarys_unload_reaches_nothing(self):
        """Its library unloaded, a handle's calls raise the missing-entry Error, close() too, and its
        finalizer stays quiet; nothing reaches the unloaded library, nor the one loaded again under
        its name."""
        fetched, plain, dropped = (tvxapi.Field_new(1, 3, "Nodal") for _ in range(3))
        recorder.tvxrec_set_result(b"common", b"Field_fast_access_ptr", 0x1000)
        tvxapi.CSField_GetNumberOfComponents(fetched)  # its fast-access pointer cached
        tvxapi.unload("common")
        self.load("double_common", "common")
        recorder.tvxrec_clear_log()
        for h in (fetched, plain):
            self.assertRaisesError("Invalid API pointer when calling function CSField_GetNumberOfComponents",
                                   tvxapi.CSField_GetNumberOfComponents, h)
            self.assertRaisesError("Invalid API pointer when calling function Quorix_delete_shared_object", h.close)
            self.assertTrue(h.closed)
        del dropped
        gc.collect()
        self.assertEqual(entries_called(), [])
        recorder.tvxrec_reset()  # the three fields' objects went with their library

    def test_arguments_reach_the_library_as_written(self):
        with tvxapi.Field_new(2, 5, "Élément") as field:
            call = last_call_of("Field_new")
            self.assertEqual([call.args[0].i, call.args[1].i], [2, 5])
            self.assertEqual(call.args[2].s.decode("utf-8"), "Élément")  # str goes as UTF-8
            tvxapi.Operator_connect_double(None, 1, 2.5)
            self.assertEqual(last_call_of("Operator_connect_double").args[2].d, 2.5)
            # A writable buffer of doubles is passed in place, its length as the count; a list is
            # copied for the call.
            values = array.array("d", [1.0, 2.0, 3.0])
            tvxapi.CSField_SetData(field, values)
            call = last_call_of("CSField_SetData")
            self.assertEqual((call.args[1].i, call.args[2].p), (3, values.buffer_info()[0]))
            tvxapi.CSField_SetData(field, [1.0, 2.0])
            call = last_call_of("CSField_SetData")
            self.assertEqual(call.args[1].i, 2)
            self.assertNotIn(call.args[2].p, (None, values.buffer_info()[0]))
            # A handle parameter takes the object, a borrowed handle of its raw pointer, or None.
            tvxapi.CSField_GetNumberOfComponents(field)
            first = last_call_of("CSField_GetNumberOfComponents").args[0].p
            self.assertEqual(recorder.tvxrec_object_library(first), b"common")
            borrowed = tvxapi.Object.from_address(field.handle)
            tvxapi.CSField_GetNumberOfComponents(borrowed)
            self.assertEqual(last_call_of("CSField_GetNumberOfComponents").args[0].p, first)
            borrowed.close()  # borrowed: forgotten, not released
            self.assertEqual(self.releases_of("Quorix_delete_shared_object"), [])
            tvxapi.CSField_GetNumberOfComponents(None)
            self.assertIsNone(last_call_of("CSField_GetNumberOfComponents").args[0].p)
        with self.assertRaises(TypeError):
            tvxapi.Field_new(1, 3)  # the count of parameters is checked
        with tvxapi.TvxVector_new() as vector, self.assertRaises(TypeError):
            tvxapi.CSField_GetNumberOfComponents(vector)  # a vector is not a TvxObject

    def test_with_blocks_release_also_when_an_exception_leaves_them(self):
        with self.assertRaises(RuntimeError):
            with tvxapi.Field_new(1, 3, "Nodal") as field, tvxapi.TvxVector_new() as vector:
                self.assertEqual(recorder.tvxrec_objects_live(), 2)
                raise RuntimeError("midway")
        self.assertTrue(field.closed and vector.closed)
        self.assertEqual(entries_called()[-2:], ["common:TvxVector_delete", "common:Quorix_delete_shared_object"])
        self.assertEqual(recorder.tvxrec_objects_live(), 0)

    def test_finalizers_release_what_nobody_holds_and_detach_gives_ownership_away(self):
        tvxapi.Field_new(1, 3, "Nodal")  # dropped at once
        self.assertEqual(recorder.tvxrec_objects_live(), 0)
        cycle = [tvxapi.Operator_new("add")]
        cycle.append(cycle)
        del cycle
        gc.collect()
        self.assertEqual(recorder.tvxrec_objects_live(), 0)
        kept = tvxapi.Field_new(1, 3, "Nodal")
        raw = kept.detach()
        self.assertIsNone(kept.detach())
        del kept
        gc.collect()
        self.assertEqual(recorder.tvxrec_objects_live(), 1)  # the caller owns it now
        tvxapi.Quorix_delete_shared_object(tvxapi.Object.from_address(raw))
        self.assertEqual(len(self.releases_of("Quorix_delete_shared_object")), 3)

    def test_a_failed_release_is_reported_once_and_never_repeated(self):
        field = tvxapi.Field_new(1, 3, "Nodal")
        recorder.tvxrec_set_error(b"common", b"Quorix_delete_shared_object", "cannot release")
        self.assertRaisesError("cannot release", field.close)
        del field
        gc.collect()
        self.assertEqual(len(self.releases_of("Quorix_delete_shared_object")), 1)
        # From a finalizer or at the end of a `with` block left by an exception: silent.
        dropped = tvxapi.Field_new(1, 3, "Nodal")
        del dropped
        with self.assertRaises(KeyError):
            with tvxapi.Field_new(1, 3, "Nodal"):
                raise KeyError("the first error wins")
        self.assertEqual(len(self.releases_of("Quorix_delete_shared_object")), 3)

    def test_unload_collects_unreachable_handles_while_their_library_is_there(self):
        cycle = [tvxapi.Field_new(1, 3, "Nodal")]
        cycle.append(cycle)
        del cycle
        gc.disable()
        try:
            self.assertEqual(recorder.tvxrec_objects_live(), 1)
            tvxapi.unload("common")
        finally:
            gc.enable()
        self.assertEqual(recorder.tvxrec_objects_live(), 0)
        self.assertEqual(entries_called()[-1], "common:Quorix_delete_shared_object")


class Failures(LedgerTest):
    def setUp(self):
        super().setUp()
        self.load("double_common", "common")

    def test_errors_carry_the_exact_text_and_size_and_the_message_is_freed(self):
        with tvxapi.Operator_new("scale") as op:
            text = "bad run: \u00e9\u20ac\U0001d11e"
            recorder.tvxrec_set_error(b"common", b"Operator_run", text)
            if COMPILED:  # the message is freed in C
                error = self.assertRaisesError(text, tvxapi.Operator_run, op)
            else:
                with mock.patch.object(_runtime, "free_message", wraps=_runtime.free_message) as free:
                    error = self.assertRaisesError(text, tvxapi.Operator_run, op)
                    self.assertEqual(free.call_count, 1)
                    tvxapi.Operator_connect_double(op, 1, 2.0)  # a success frees nothing
                    self.assertEqual(free.call_count, 1)
            self.assertEqual(error.size, 13)
            recorder.tvxrec_set_error(b"common", b"Operator_run", "")
            self.assertRaisesError("", tvxapi.Operator_run, op)  # empty, size 1: still a failure

    def test_a_failing_entry_that_returns_a_handle_has_it_released_before_raising(self):
        recorder.tvxrec_set_error(b"common", b"Field_new", "no field for you")
        error, live = self.live_when_raised(tvxapi.Field_new, 1, 3, "Nodal")
        self.assertEqual((error.message, error.size), ("no field for you", 17))
        self.assertEqual(live, 0)
        self.assertEqual(recorder.tvxrec_objects_created(), 1)
        self.assertEqual(entries_called(), ["common:Field_new", "common:Quorix_delete_shared_object"])

    def test_an_exception_midway_leaves_nothing_behind(self):
        recorder.tvxrec_set_error(b"common", b"Operator_connect_Field", "pin 0 is taken")

        def build():
            op = tvxapi.Operator_new("add")
            field = tvxapi.Field_new(1, 3, "Nodal")
            tvxapi.Operator_connect_Field(op, 0, field)  # raises; op and field are dropped
            self.fail("not reached")

        self.assertRaisesError("pin 0 is taken", build)
        gc.collect()
        self.assertEqual(recorder.tvxrec_objects_created(), 2)
        self.assertEqual(recorder.tvxrec_objects_live(), 0)

    def test_entries_without_an_error_pair_forward_what_the_library_returns(self):
        recorder.tvxrec_set_result(b"common", b"TvxError_code", 42)
        self.assertEqual(tvxapi.TvxError_code(None), 42)
        self.assertIs(tvxapi.QuorixCore_HasBeenMovedLocally(None), False)


class Results(LedgerTest):
    def setUp(self):
        super().setUp()
        self.load("double_common", "common")

    def test_numbers_with_a_size_come_back_as_a_copy_with_the_buffer_protocol(self):
        source = (ctypes.c_double * 3)(12.0, 24.0, 36.0)
        ids = (ctypes.c_int * 3)(11, 12, 13)
        recorder.tvxrec_set_result(b"common", b"CSField_GetData", ctypes.addressof(source))
        recorder.tvxrec_set_result(b"common", b"CSField_GetScoping", ctypes.addressof(ids))
        with tvxapi.Field_new(1, 3, "Nodal") as field, \
                preset_outputs(3):  # the library's size
            values = tvxapi.CSField_GetData(field)
            scoping = tvxapi.CSField_GetScoping(field)
        self.assertEqual(list(values), [12.0, 24.0, 36.0])
        self.assertEqual(list(scoping), [11, 12, 13])
        self.assertEqual((values.typecode, scoping.typecode), ("d", "i"))
        view = memoryview(values)
        self.assertEqual((view.format, view.nbytes), ("d", 24))
        source[0] = -1.0  # a copy: the library's later writes do not show
        self.assertEqual(values[0], 12.0)
        try:
            import numpy
        except ImportError:
            numpy = None
        if numpy is not None:
            self.assertEqual(numpy.asarray(values).tolist(), [12.0, 24.0, 36.0])
            self.assertEqual(values.numpy().dtype, numpy.float64)
        else:
            with self.assertRaises(ImportError):
                values.numpy()

    def test_a_null_array_is_none_and_an_empty_one_is_empty(self):
        source = (ctypes.c_double * 1)(5.0)
        with tvxapi.Field_new(1, 3, "Nodal") as field:
            self.assertIsNone(tvxapi.CSField_GetData(field))
            recorder.tvxrec_set_result(b"common", b"CSField_GetData", ctypes.addressof(source))
            self.assertEqual(list(tvxapi.CSField_GetData(field)), [])  # size 0: nothing read

    def test_texts_the_library_keeps_are_copied_and_texts_it_hands_out_go_back(self):
        location = ctypes.create_string_buffer("Nodal \u00e9".encode("utf-8"))
        description = ctypes.create_string_buffer(b"a field")
        recorder.tvxrec_set_result(b"common", b"CSField_GetLocation", ctypes.addressof(location))
        recorder.tvxrec_set_result(b"common", b"Quorix_descriptionString", ctypes.addressof(description))
        recorder.tvxrec_set_result(b"common", b"Quorix_getOs", ctypes.addressof(description))
        with tvxapi.Field_new(1, 3, "Nodal") as field:
            self.assertEqual(tvxapi.CSField_GetLocation(field), "Nodal \u00e9")
            self.assertNotIn("Quorix_deleteString", [c.entry for c in calls()])
            self.assertEqual(tvxapi.Quorix_descriptionString(field), "a field")
            release = calls()[-1]
            self.assertEqual(release.entry, "Quorix_deleteString")  # the handle's library's entry
            self.assertEqual(release.args[0].p, ctypes.addressof(description))
            recorder.tvxrec_clear_log()
            # Without a handle: the default library; a release it refuses is reported, the text kept.
            recorder.tvxrec_set_error(b"common", b"Quorix_deleteString", "no such entry here")
            with self.assertWarns(tvxapi.ReleaseWarning) as caught:
                self.assertEqual(tvxapi.Quorix_getOs(), "a field")
            self.assertEqual(str(caught.warning), "Quorix_getOs returned text that Quorix_deleteString could not "
                             "hand back: no such entry here")
            self.assertEqual(caught.filename, __file__)  # points at the caller's line
            self.assertEqual(entries_called(), ["common:Quorix_getOs", "common:Quorix_deleteString"])

    def test_outputs_follow_the_result_in_a_tuple(self):
        recorder.tvxrec_set_result(b"common", b"TimeFreqSupport_GetStepAndSubStep", 4)
        with tvxapi.TimeFreqSupport_new() as support:
            self.assertEqual(tvxapi.TimeFreqSupport_GetStepAndSubStep(support, 2), (4, 0, 0))
            with preset_outputs(7):
                self.assertEqual(tvxapi.Quorix_getServerVersion(), (None, 7, 7))
            call = last_call_of("TimeFreqSupport_GetStepAndSubStep")
            self.assertEqual(call.args[1].i, 2)
            self.assertTrue(call.args[2].p and call.args[3].p)


class HandleArrays(LedgerTest):
    def setUp(self):
        super().setUp()
        self.load("double_common", "common")

    def objects(self, n):
        return (ctypes.c_void_p * n)(*[recorder.tvxrec_new_object(b"common") for _ in range(n)])

    def test_an_array_of_handles_becomes_objects_and_the_array_is_freed(self):
        library_array = self.objects(2)
        recorder.tvxrec_set_result(b"common", b"Quorix_deserializeMany", ctypes.addressof(library_array))
        with preset_outputs(2):
            objects = tvxapi.Quorix_deserializeMany(b"\x00bytes")
        # The array TVXClientAPI made for the handles is freed there at once.
        self.assertEqual([type(o) for o in objects], [tvxapi.Object, tvxapi.Object])
        self.assertEqual(entries_called(), ["common:Quorix_deserializeMany", "common:Quorix_delete_shared_object_array"])
        self.assertEqual(last_call_of("Quorix_deserializeMany").args[1].u, 6)
        self.assertEqual(recorder.tvxrec_objects_live(), 2)
        objects[0].close()
        del objects
        gc.collect()
        self.assertEqual(len([c for c in calls() if c.entry == "Quorix_delete_shared_object"]), 2)

    def test_a_failing_call_that_returns_an_array_has_every_handle_released_before_raising(self):
        library_array = self.objects(3)
        recorder.tvxrec_set_result(b"common", b"Collection_GetObjsForLabelSpace", ctypes.addressof(library_array))
        recorder.tvxrec_set_error(b"common", b"Collection_GetObjsForLabelSpace", "no such label")
        with tvxapi.Collection_OfFieldNew() as collection, tvxapi.LabelSpace_new() as label_space, \
                preset_outputs(3):
            error, live = self.live_when_raised(tvxapi.Collection_GetObjsForLabelSpace, collection, label_space)
            self.assertEqual(error.message, "no such label")
            self.assertEqual(live, 2)  # the collection and the label space

    def test_a_list_of_handles_is_passed_with_its_count(self):
        with tvxapi.Field_new(1, 3, "Nodal") as a, tvxapi.Field_new(1, 3, "Nodal") as b:
            made = tvxapi.Collection_OfFieldNewWithData([a, b, None], None, 0, None)
            self.assertIsInstance(made, tvxapi.Object)
            made.close()
        call = last_call_of("Collection_OfFieldNewWithData")
        self.assertEqual(call.args[1].i, 3)
        self.assertTrue(call.args[0].p)


class AcrossLibraries(LedgerTest):
    ADDRESS = ctypes.create_string_buffer(b"localhost:50052")
    PROTOCOL = ctypes.create_string_buffer(b"grpc")

    def setUp(self):
        super().setUp()
        self.load("double_common", "common")
        self.load("double_remote", "remote")
        recorder.tvxrec_set_result(b"remote", b"Client_get_full_address", ctypes.addressof(self.ADDRESS))
        recorder.tvxrec_set_result(b"remote", b"Client_get_protocol_name", ctypes.addressof(self.PROTOCOL))
        recorder.tvxrec_set_result(b"remote", b"Operator_get_id_for_client", 7)

    def test_a_remote_operator_meets_a_common_field_and_everything_is_released_once(self):
        with tvxapi.Client_new_full_address("localhost:50052") as client:
            self.assertEqual(tvxapi.Client_get_protocol_name(client), "grpc")
            release = calls()[-1]
            self.assertEqual((release.library, release.entry), ("remote", "Quorix_deleteString"))
            with tvxapi.Operator_new_on_client("scale", client) as op, tvxapi.Field_new(1, 3, "Nodal") as field:
                self.assertIsInstance(op, tvxapi.Operator)
                recorder.tvxrec_clear_log()
                tvxapi.Operator_connect_Field(op, 0, field)
                self.assertTrue(tvxapi.QuorixCore_HasBeenMovedLocally(op))
                self.assertEqual(calls()[-1].library, "common")  # the call went to the common library
                self.assertGreater(recorder.tvxrec_objects_created(), 3)  # the proxy and its parts
            # The moved operator released both objects, each in its own library.
            deletes = [c.library for c in calls() if c.entry == "Quorix_delete_shared_object"]
            self.assertIn("remote", deletes)
            self.assertIn("common", deletes)

    def test_a_deep_copy_is_an_object_of_its_own(self):
        with tvxapi.Client_new_full_address("localhost:50052") as client:
            with tvxapi.Field_new_on_client(client, 1, 3, "Nodal") as remote_field:
                copy = tvxapi.Quorix_deep_copy(remote_field)
                self.assertIsInstance(copy, tvxapi.Object)
                tvxapi.CSField_GetNumberOfComponents(copy)
                self.assertEqual(calls()[-1].library, "common")
                self.assertFalse(tvxapi.QuorixCore_HasBeenMovedLocally(remote_field))
                del copy  # the finalizer releases it
                gc.collect()


class Loading(unittest.TestCase):
    def test_a_strict_load_names_the_missing_entry(self):
        unload_everything()
        with self.assertRaises(tvxapi.Error) as caught:
            tvxapi.load(double_path("double_common_missing"), "common", strict=True)
        self.assertTrue(caught.exception.message.startswith(
            'Unable to load "Field_GetData" from shared library. Expected type is '), caught.exception.message)
        tvxapi.load(double_path("double_common_missing"), "common")  # lenient: loads
        try:
            with self.assertRaises(tvxapi.Error) as caught:
                tvxapi.Field_GetData(None)
            self.assertEqual(caught.exception.message, "Invalid API pointer when calling function Field_GetData")
        finally:
            tvxapi.unload("common")


if __name__ == "__main__":
    unittest.main()
