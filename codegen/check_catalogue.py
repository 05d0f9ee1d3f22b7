#!/usr/bin/env python3
"""The transcription audit: compares the catalogue with the figures and name lists the interface
publishes (1,267 exports, 1,237 slots, counts per family, class, shape and home library, the
entries of each irregular group). This file is the only place that holds them; a failure here
means the catalogue and a published figure disagree: either a line was transcribed wrongly, or the
interface changed and the figure changes with it (see "Adding an entry" in catalogue/README.md).
Whether the catalogue is sound, whatever it holds, is rules.py's business. Known differences
between stated figures and the tables are listed in KNOWN_DIFFERENCES: each is checked to still
hold, so a new one fails.

    check_catalogue.py              audit everything, print the figures
    check_catalogue.py --family F   audit one family file only (while transcribing it)
"""

import argparse
import sys

import catalogue as cat_mod

# Slots per family: (slots, common, both, remote) and the stated number of exports.
FAMILIES = {
    "core":                          ((0, 0, 0, 0), 9),
    "lifecycle":                     ((51, 19, 0, 32), 51),
    "errors_strings_vectors":        ((49, 19, 28, 2), 56),
    "sessions_events":               ((27, 22, 4, 1), 27),
    "serialization":                 ((16, 10, 2, 4), 16),
    "fields":                        ((87, 59, 24, 4), 87),
    "property_string_custom_fields": ((112, 55, 50, 7), 112),
    "field_definitions_units":       ((46, 20, 25, 1), 57),
    "scopings_collections":          ((117, 50, 53, 14), 119),
    "generic_values":                ((114, 32, 74, 8), 114),
    "meshed_region":                 ((55, 17, 36, 2), 55),
    "supports_materials":            ((74, 30, 41, 3), 74),
    "data_sources_results":          ((139, 86, 50, 3), 139),
    "operators":                     ((104, 35, 64, 5), 104),
    "external_operators":            ((84, 84, 0, 0), 84),
    "workflows":                     ((121, 39, 78, 4), 122),
    "operator_specifications":       ((41, 17, 23, 1), 41),
}

# Shape: (exports, of which handle-returning).
SHAPE_COUNTS = {
    "object": (641, 189), "fast": (42, 0), "free": (327, 110), "client": (81, 61),
    "routed": (21, 4), "two": (123, 8), "release": (22, 0), "own": (10, 2),
}
OBJECT_HOMES = {"default": 420, "common": 218, "remote": 3}
FREE_HOMES = {"common": 301, "default": 21, "remote": 5}

DUAL_NAMES = """Collection_OfIntNew Collection_OfDoubleNew Collection_OfStringNew Collection_OfScopingNew
Collection_OfFieldNew Collection_OfMeshNew Collection_OfAnyNew Quorix_initialization Quorix_release
quorix_initializeWithContext quorix_applyContext quorix_applyContext_v2 Quorix_load_library
Quorix_list_operators_as_collection Quorix_deserialize Quorix_getGlobalConfigAsDataTree
Quorix_getServerVersion Quorix_getServerVersionFull Quorix_getOs Quorix_ProcessId
Quorix_create_param_tree DataSources_new TvxDataTree_new Field_new Field_newWith1DDimensionnality
Field_newWith2DDimensionnality Field_getCopy FieldDefinition_new MeshedRegion_New Operator_new
OperatorConfig_default_new OperatorConfig_empty_new Operator_specification_new CSPropertyField_new
CSPropertyField_new_location Scoping_new sessionNew CSStringField_new CSCustomTypeField_new
GenericSupport_new GenericDataContainer_new TimeFreqSupport_new TmpDir_getDir WorkFlow_new
WorkFlow_getCopy WorkFlow_create_from_text WorkFlow_get_by_identifier FbsRef_newWithFbsClient
FbsClient_new FbsClient_StartOrGetThreadServer""".split()

REMOTE_ONLY_ON_CLIENT = """Any_newFrom_Int_on_client Any_newFrom_Double_on_client
Any_newFrom_String_on_client Any_newFrom_String_with_size_on_client
Quorix_create_from_on_client""".split()

SLOTLESS_OWN = """QuorixCore_LoadAPI QuorixCore_LoadAPIWithOptions QuorixCore_UnloadAPI
QuorixCore_HasBeenMovedLocally Quorix_duplicate_TVXClientAPIobject QuorixCore_MoveLocally
Quorix_deep_copy Quorix_deep_copy_on_client Client_get_local_server_as_streams""".split()

OWN_WORK = SLOTLESS_OWN + ["Quorix_delete_shared_object_array"]

ROUTED = """Quorix_String_post_event_for_object Quorix_deleteString_for_object
Quorix_free_doubles_for_object Quorix_free_ints_for_object Quorix_parse_error_to_str_for_object
Dimensionality_GetNumComp_for_object TvxString_free_for_object TvxVector_new_for_object
LabelSpace_new_for_object ListLabelSpaces_new_for_object Unit_AreHomogeneous_for_object
Unit_GetConversionFactor_for_object Unit_GetConversionShift_for_object
Unit_GetHomogeneity_for_object Unit_divide_s_for_object Unit_getSymbol_for_object
Unit_invert_s_for_object Unit_multiply_s_for_object Unit_pow_s_for_object
Unit_simplify_s_for_object Workflow_create_connection_map_for_object""".split()

# Client entries whose names do not end in _on_client.
CLIENT_PLAIN = """Any_getCopy CSCustomTypeField_getCopy CSPropertyField_getCopy CSStringField_getCopy
Collection_OfAny_getCopy Collection_OfField_getCopy Collection_OfMesh_getCopy
Collection_OfScoping_getCopy Collection_OfStringNew_local Client_get_full_address
Client_get_local_server Client_get_protocol_name Client_has_local_server Client_set_local_server
Quorix_DownloadFile Quorix_DownloadFiles Quorix_UploadFile Quorix_getServerIpAndPort
Quorix_prepare_shutdown Quorix_release_obj_by_id_in_db Quorix_release_server DataSources_getCopy
GenericDataContainer_getCopy MeshedRegion_getCopy Operator_getCopy Scoping_getCopy Streams_getCopy
TimeFreqSupport_getCopy""".split()
NOT_CLIENT_ON_CLIENT = """Quorix_deep_copy_on_client FbsRef_newWithFbsClient_on_client
quorix_applyContext_v2_on_client""".split()

RELEASING = """Quorix_delete_shared_object CSField_Delete Collection_delete CyclicSupport_delete
DataSources_delete TvxDataTree_delete TvxVector_delete ExternalData_free FieldDefinition_Delete
FieldsContainer_Delete LabelSpace_delete MaterialsContainer_delete MeshedRegion_Delete
Operator_delete RemoteWorkFlow_delete ResultInfo_delete Scoping_delete Streams_delete
Support_delete TimeFreqSupport_delete WorkFlow_delete deleteSession""".split()
RELEASING_DEFAULT_HOME = ["Quorix_delete_shared_object", "TvxVector_delete"]
# Entries the tables give as plain object entries although they release the library's object. Kept
# as object entries they would leave a handle on a released object, which a later release hands to
# the library a second time (and a moved handle's own object would never be released), so the
# catalogue makes them releasing entries. The stated figures are checked with them counted as the
# object entries the tables make them.
RELEASING_BEYOND_TABLES = ["CSPropertyField_Delete", "Mapping_Delete", "Operator_specification_delete"]

HANDLE_CLASSES = {
    "Operator": """Operator_new Operator_new_on_client Operator_ById Operator_getoutput_Operator
        WorkFlow_getoutput_Operator WorkFlow_get_first_op WorkFlow_get_last_op
        Workflow_get_operator_for_output""".split(),
    "Workflow": """WorkFlow_new WorkFlow_new_on_client WorkFlow_create_from_text
        WorkFlow_create_from_text_on_client WorkFlow_getCopy WorkFlow_getCopy_on_client
        WorkFlow_getCopy_on_other_client WorkFlow_get_by_identifier
        WorkFlow_get_by_identifier_on_client WorkFlow_getoutput_Workflow
        Operator_getoutput_Workflow""".split(),
    "SharedTvxVector": "TvxVector_new TvxVector_new_for_object TvxVector_duplicate_tvx_vector".split(),
}
TVXOBJECT_HANDLE_COUNT = 352

# Fast-access pairs by cached pointer: handle entry -> raw-pointer entry.
FAST_PAIRS = {
    "field": """CSField_GetData/Field_GetData CSField_GetScoping/Field_GetScoping
        CSField_GetEntityData/Field_GetEntityData CSField_GetEntityDataById/Field_GetEntityDataById
        CSField_GetUnit/Field_GetUnit CSField_GetLocation/Field_GetLocation
        CSField_GetNumberElementaryData/Field_GetNumberElementaryData
        CSField_GetNumberEntities/Field_GetNumberOfEntities
        CSField_ElementaryDataSize/Field_ElementaryDataSize CSField_GetEShellLayers/Field_GetEShellLayers
        CSField_GetNumberOfComponents/Field_GetNumberOfComponents CSField_PushBack/Field_PushBack
        CSField_cursor/Field_fast_cursor""",
    "scoping": """Scoping_GetIds/Scoping_fast_get_ids Scoping_GetSize/Scoping_fast_get_size
        Scoping_SetEntity/Scoping_fast_set_entity Scoping_IdByIndex/Scoping_fast_id_by_index
        Scoping_IndexById/Scoping_fast_index_by_id""",
    "mesh": """MeshedRegion_AddNode/MeshedRegion_fast_add_node
        MeshedRegion_AddElement/MeshedRegion_fast_add_element
        MeshedRegion_Reserve/MeshedRegion_fast_reserve MeshedRegion_cursor/MeshedRegion_fast_cursor""",
    "property_field": """CSPropertyField_GetData/PropertyField_GetData
        CSPropertyField_GetDataPointer/PropertyField_GetDataPointer
        CSPropertyField_GetEntityData/PropertyField_GetEntityData
        CSPropertyField_GetEntityDataById/PropertyField_GetEntityDataById
        CSPropertyField_GetLocation/PropertyField_GetLocation CSProperty_GetDataFast/Property_GetDataFast""",
    "field_definition": """CSFieldDefinition_GetUnit/FieldDefinition_GetUnit
        CSFieldDefinition_FillUnit/FieldDefinition_FillUnit
        CSFieldDefinition_GetShellLayers/FieldDefinition_GetShellLayers
        CSFieldDefinition_GetLocation/FieldDefinition_GetLocation
        CSFieldDefinition_FillLocation/FieldDefinition_FillLocation
        CSFieldDefinition_GetDimensionality/FieldDefinition_GetDimensionality
        CSFieldDefinition_FillDimensionality/FieldDefinition_FillDimensionality
        CSFieldDefinition_SetUnit/FieldDefinition_SetUnit
        CSFieldDefinition_SetShellLayers/FieldDefinition_SetShellLayers
        CSFieldDefinition_SetLocation/FieldDefinition_SetLocation
        CSFieldDefinition_SetDimensionality/FieldDefinition_SetDimensionality""",
    "string_field": """CSStringField_GetEntityData_For_TvxVector/StringField_GetEntityData_For_TvxVector
        CSStringField_GetEntityDataById_For_TvxVector/StringField_GetEntityDataById_For_TvxVector
        CSStringField_PushBack/StringField_PushBack""",
}
# The entry that fills each cached pointer.
FAST_FETCH = {
    "field": "Field_fast_access_ptr", "scoping": "Scoping_fast_access_ptr",
    "mesh": "MeshedRegion_fast_access_ptr", "property_field": "CSPropertyField_GetFastAccessPtr",
    "field_definition": "FieldDefinition_GetFastAccessPtr", "string_field": "StringField_fast_access_ptr",
}

# Two-object entries by argument layout. The layout is written with H1/H2 for the reconciled
# handles, H3 for a plainly converted third handle, and the C types of the other arguments.
TWO_OBJECT_LAYOUTS = [
    ("H1,const char*,H2", "void", "both", """Collection_SetSupport TvxDataTree_setStringCollectionAttribute
        TvxDataTree_setSubTreeAttribute GenericDataContainer_setPropertyAny
        GenericDataContainer_setPropertyTvxType GenericSupport_setFieldSupportOfProperty
        GenericSupport_setPropertyFieldSupportOfProperty GenericSupport_setStringFieldSupportOfProperty
        MeshedRegion_SetNamedSelectionScoping MeshedRegion_SetPropertyField WorkFlow_connect_Any
        WorkFlow_connect_Collection WorkFlow_connect_Collection_as_vector WorkFlow_connect_CustomTypeField
        WorkFlow_connect_CyclicSupport WorkFlow_connect_DataSources WorkFlow_connect_DataTree
        WorkFlow_connect_TvxType WorkFlow_connect_Field WorkFlow_connect_GenericDataContainer
        WorkFlow_connect_LabelSpace WorkFlow_connect_MeshedRegion WorkFlow_connect_PropertyField
        WorkFlow_connect_Scoping WorkFlow_connect_StringField WorkFlow_connect_TimeFreqSupport
        WorkFlow_connect_Workflow addWorkflow"""),
    ("H1,const char*,H2", "void", "common", """ResultInfo_AddQualifiersForResult
        ResultInfo_AddQualifiersSupport WorkFlow_connect_ExternalData WorkFlow_connect_RemoteWorkflow
        WorkFlow_connect_Streams WorkFlow_connect_Support"""),
    ("H1,H2", "void", "both", """CSCustomTypeField_SetCScoping CSCustomTypeField_SetFieldDefinition
        CSCustomTypeField_SetHeaderAsDataTree CSCustomTypeField_SetSupport CSField_SetCScoping
        CSField_SetFieldDefinition CSField_SetHeaderAsDataTree CSField_SetMeshedRegionAsSupport
        CSField_SetSupport CSPropertyField_SetCScoping CSPropertyField_SetFieldDefinition
        CSPropertyField_SetSupport CSStringField_SetCScoping DataSources_AddUpstreamDataSources
        LabelSpace_MergeWith ListLabelSpaces_pushback MeshedRegion_SetCoordinatesField
        TimeFreqSupport_SetSharedImaginaryFreqs TimeFreqSupport_SetSharedRpms
        TimeFreqSupport_SetSharedTimeFreqs WorkFlow_add_operator WorkFlow_connect_with"""),
    ("H1,H2", "void", "common", """CSCustomTypeField_SetDataPointerWithCollection
        CSCustomTypeField_SetDataWithCollection CSField_SetDataPointerWithCollection
        CSField_SetDataWithCollection CSPropertyField_SetDataPointerWithCollection
        CSPropertyField_SetDataWithCollection Operator_specification_SetChangelog
        ResultInfo_AddQualifiersForAllResults Scoping_SetIdsWithCollection WorkFlow_chain_with
        addEventHandler"""),
    ("H1,int,H2", "void", "both", """Collection_SetEntryByIndex Operator_connect_Any
        Operator_connect_Collection Operator_connect_Collection_as_vector
        Operator_connect_CustomTypeField Operator_connect_CyclicSupport Operator_connect_DataSources
        Operator_connect_DataTree Operator_connect_TvxType Operator_connect_Field
        Operator_connect_GenericDataContainer Operator_connect_LabelSpace Operator_connect_MeshedRegion
        Operator_connect_Operator_as_input Operator_connect_PropertyField Operator_connect_Scoping
        Operator_connect_StringField Operator_connect_Support Operator_connect_TimeFreqSupport
        Operator_connect_Workflow"""),
    ("H1,int,H2", "void", "common", """Operator_connect_ExternalData Operator_connect_RemoteWorkflow
        Operator_connect_ResultInfo Operator_connect_Streams"""),
    ("H1,H2,H3", "void", "both", "Collection_AddEntry Collection_PushBackEntry WorkFlow_connect_with_specified_names"),
    ("H1,H2", "TvxObject", "common", "Collection_CreateSubCollection Collection_GetObj Mapping_Map"),
    ("H1,H2", "int", "both", "Collection_GetNumObjForLabelSpace Operator_set_config"),
    ("H1,int,int,H2", "TvxObject", "both", "CyclicSupport_getExpandedElementIds CyclicSupport_getExpandedNodeIds"),
    ("H1,H2,int", "void", "both", "DataSources_AddUpstreamDomainDataSources TimeFreqSupport_SetHarmonicIndices"),
    ("H1,H2,int,const char*", "void", "both", "WorkFlow_set_name_input_pin WorkFlow_set_name_output_pin"),
    ("H1,H2,int*", "void", "both", "Collection_FillObjIndecesForLabelSpace"),
    ("H1,H2,int", "TvxObject", "both", "Collection_GetObjByIndexForLabelSpace"),
    ("H1,H2,size_t*", "TvxObject[]", "both", "Collection_GetObjsForLabelSpace"),
    ("H1,H2", "bool", "common", "Quorix_objects_holds_same_data"),
    ("H1,H2,const char*", "void", "both", "DataSources_AddUpstreamDataSourcesForSpecifiedResult"),
    ("H1,H2,int,int", "void", "common", "FieldsContainer_setField"),
    ("H1,int,H2,int", "void", "both", "Operator_connect_operator_output"),
    ("H1,const char*,const char*,void(*)(void*),void(*)(void*),void*,H2", "void", "common",
     "Streams_addExternalStreamWithLabelSpace"),
    ("H1,H2", "void*", "common", "Streams_getExternalStreamWithLabelSpace"),
    ("H1,H2,const char*,const char*", "void", "common", "WorkFlow_chain_with_specified_names"),
    ("H1,const char*,H2,int", "void", "both", "WorkFlow_connect_operator_output"),
    ("H1,H2,H3,bool", "int", "common", "addBreakpoint"),
    ("H1,const char*,H2", "bool", "both", "addEventHandlerType"),
    ("H1,const char*,const char*,H2", "bool", "both", "addSignalEmitterType"),
    ("H1,H2", "const char*", "common", "addWorkflowWithoutIdentifier"),
    ("H1,H2,int", "void", "common", "removeBreakpoint"),
    ("H1,H2,const FbsSlice*", "TvxObject", "remote", "FbsRef_newWithFbsClient_on_client"),
    ("H1,H2", "int", "remote", "quorix_applyContext_v2_on_client"),
]

# Stated figures that the tables do not reproduce. Each entry: (what, stated, found, why).
# The checker verifies that the found value is what the tables give, so a new difference fails.
KNOWN_DIFFERENCES = [
    ("own-work entries returning a handle", 2, 5,
     "the stated figure counts only the two that wrap an implementation entry's result "
     "(Quorix_deep_copy_on_client, Client_get_local_server_as_streams); Quorix_deep_copy, "
     "QuorixCore_MoveLocally and Quorix_duplicate_TVXClientAPIobject return handles as well"),
    ("remote forms differing in more than the client", 3, 4,
     "the stated three are Quorix_initialization, DataSources_new and Field_getCopy; the workflow "
     "tables give WorkFlow_getCopy a fourth (common form takes a workflow handle, remote form an "
     "int id and the client second)"),
    ("names whose rows speak of a remote form but carry their own _on_client slot", 0, 4,
     "the rows of Any_newFrom_Int, _Double, _String and _String_with_size say 'has a remote form', "
     "while the name counts hold only when their _on_client names are remote-only names with slots "
     "of their own; the catalogue follows the name counts"),
]


class Checker:
    @staticmethod
    def stated_shape(e):
        """The shape the tables give an export (see RELEASING_BEYOND_TABLES)."""
        return "object" if e.name in RELEASING_BEYOND_TABLES else e.shape

    def __init__(self, cat):
        self.cat = cat
        self.errors = []
        self.figures = []

    def expect(self, what, found, wanted):
        self.figures.append((what, found))
        if found != wanted:
            self.errors.append("%s: catalogue has %r, expected %r" % (what, found, wanted))

    def known(self, what, found):
        for w, stated, tables, _ in KNOWN_DIFFERENCES:
            if w == what:
                self.figures.append((what + " (stated %r; known difference)" % stated, found))
                if found != tables:
                    self.errors.append("%s: catalogue has %r; the known difference says %r (stated %r)"
                                       % (what, found, tables, stated))
                return
        raise AssertionError(what)

    def fail(self, text):
        self.errors.append(text)

    def check_family(self, family, exports):
        (slots, common, both, remote), stated = FAMILIES[family]
        fam_slots = [e for e in exports if e.slot is not None]
        by = {c: sum(1 for e in fam_slots if e.cls == c) for c in ("common", "both", "remote")}
        self.expect("%s: exports" % family, len(exports), stated)
        self.expect("%s: slots (common, both, remote)" % family,
                    (len(fam_slots), by["common"], by["both"], by["remote"]),
                    (slots, common, both, remote))

    # --- whole catalogue ------------------------------------------------------------------
    def check_all(self):
        cat = self.cat
        names = [f for f, _ in cat.families]
        if names != list(FAMILIES):
            self.fail("family files: %r, expected %r" % (names, list(FAMILIES)))
        for family, exports in cat.families:
            if family in FAMILIES:
                self.check_family(family, exports)
        exports = cat.exports
        slots = cat.slots
        self.expect("exports", len(exports), 1267)
        self.expect("slots", len(slots), 1237)
        self.expect("slots by class (common, both, remote)",
                    tuple(sum(1 for s in slots if s.cls == c) for c in ("common", "both", "remote")),
                    (594, 552, 91))
        groups = cat.slots_by_name
        self.expect("distinct slot names", len(groups), 1187)
        single = {n: g[0].cls for n, g in groups.items() if len(g) == 1}
        dual = sorted(n for n, g in groups.items() if len(g) == 2)
        self.expect("names with only a common slot", sum(1 for c in single.values() if c == "common"), 544)
        self.expect("names with only a remote slot", sum(1 for c in single.values() if c == "remote"), 41)
        self.expect("names of class both", sum(1 for c in single.values() if c == "both"), 552)
        self.expect("names with two slots", len(dual), 50)
        if sorted(dual) != sorted(DUAL_NAMES):
            self.fail("names with two slots differ: missing %s, extra %s"
                      % (sorted(set(DUAL_NAMES) - set(dual)), sorted(set(dual) - set(DUAL_NAMES))))
        ro = sorted(n for n, c in single.items() if c == "remote" and n.endswith("_on_client"))
        self.expect("remote-only names ending in _on_client", ro, sorted(REMOTE_ONLY_ON_CLIENT))
        slotless = [e for e in exports if e.slot is None]
        self.expect("exports without a slot", len(slotless), 30)
        self.expect("exports without a slot ending in _for_object",
                    sum(1 for e in slotless if e.name.endswith("_for_object")), 21)
        self.expect("slotless own-work exports",
                    sorted(e.name for e in slotless if e.shape == "own"), sorted(SLOTLESS_OWN))
        # shapes
        for shape, (count, handles) in SHAPE_COUNTS.items():
            members = [e for e in exports if self.stated_shape(e) == shape]
            found = (len(members), sum(1 for e in members if e.returns_handle or e.result == "TvxObject[]"))
            if shape == "own":
                self.expect("shape own: exports", len(members), count)
                self.known("own-work entries returning a handle", found[1])
                self.expect("own-work entries wrapping an implementation result",
                            sum(1 for e in members if e.returns_handle and "calls" in e.options), handles)
            else:
                self.expect("shape %s: (exports, handle-returning)" % shape, found, (count, handles))
        obj = [e for e in exports if self.stated_shape(e) == "object"]
        self.expect("object entries by home library",
                    {h: sum(1 for e in obj if e.home == h) for h in OBJECT_HOMES}, OBJECT_HOMES)
        free = [e for e in exports if e.shape == "free"]
        self.expect("free entries by home library",
                    {h: sum(1 for e in free if e.home == h) for h in FREE_HOMES}, FREE_HOMES)
        self.expect("free entries to the remote library",
                    sorted(e.name for e in free if e.home == "remote"),
                    sorted("Client_new Client_new_full_address Quorix_getClientConfigAsDataTree "
                           "Quorix_getGrpcClientServerVersion Quorix_getGrpcClientServerVersionFull".split()))
        self.expect("own-work entries", sorted(e.name for e in exports if e.shape == "own"), sorted(OWN_WORK))
        self.expect("object-routed entries", sorted(e.name for e in exports if e.shape == "routed"), sorted(ROUTED))
        client = sorted(e.name for e in exports if e.shape == "client")
        want_client = sorted(set(CLIENT_PLAIN) | {e.name for e in exports if e.name.endswith("_on_client")
                                                   and e.name not in NOT_CLIENT_ON_CLIENT})
        self.expect("client entries", client, want_client)
        rel = [e for e in exports if e.shape == "release"]
        self.expect("releasing entries", sorted(e.name for e in rel), sorted(RELEASING + RELEASING_BEYOND_TABLES))
        self.expect("releasing entries falling back to the default library",
                    sorted(e.name for e in rel if e.home == "default"), sorted(RELEASING_DEFAULT_HOME))

        # handle classes
        for klass, members in HANDLE_CLASSES.items():
            self.expect("handle class %s" % klass,
                        sorted(e.name for e in exports if e.handle_class == klass and e.result != "TvxObject[]"),
                        sorted(members))
        self.expect("handle class TvxObject (handle-returning entries)",
                    sum(1 for e in exports if e.result == "TvxObject" or e.result == "TvxObject[]"),
                    TVXOBJECT_HANDLE_COUNT + 3)
        # The stated 352 includes the two own-work entries that wrap an implementation result; the
        # three other own-work entries returning a TvxObject handle are the known difference above.

        # fast-access pairs
        pairs = {}
        for ptr, text in FAST_PAIRS.items():
            for pair in text.split():
                h, r = pair.split("/")
                pairs[h] = (r, ptr)
        fast = {e.name: e.options.get("raw") for e in exports if e.shape == "fast"}
        self.expect("fast-access pairs", sorted(fast.items()), sorted((h, r) for h, (r, _) in pairs.items()))
        for ptr, fetch in FAST_FETCH.items():
            e = cat.by_name.get(fetch)
            if e is None or e.slot is None or e.cls != "common":
                self.fail("fast-access fetch %s (%s) must be a common entry" % (fetch, ptr))

        # two-object layouts
        found_layouts = {}
        for e in exports:
            if e.shape != "two":
                continue
            hp = e.handle_positions()
            labels = {}
            if hp:
                labels[hp[0]] = "H1"
            if len(hp) > 1:
                labels[hp[1]] = "H2"
            if len(hp) > 2:
                labels[hp[2]] = "H3"
            lay = ",".join(labels.get(i, p.ctype) for i, p in enumerate(e.params))
            found_layouts[e.name] = (lay, e.result, e.cls)
        want = {}
        for lay, res, cls, text in TWO_OBJECT_LAYOUTS:
            for n in text.split():
                want[n] = (lay, res, cls)
        self.expect("two-object entries", sorted(found_layouts), sorted(want))
        for n in sorted(set(found_layouts) & set(want)):
            if found_layouts[n] != want[n]:
                self.fail("%s: two-object layout %r, expected %r" % (n, found_layouts[n], want[n]))
        self.expect("two-object layout rows", len(TWO_OBJECT_LAYOUTS), 30)
        self.figures.append(("two-object argument layouts differing in arguments or result",
                             len({(l, r) for l, r, _, _ in TWO_OBJECT_LAYOUTS})))

        # remote forms: the client inserted into the common form's arguments, except where noted
        irregular = []
        for n in dual:
            common = next(s for s in groups[n] if s.cls == "common").export
            remote = next(s for s in groups[n] if s.cls == "remote").export
            cp = [p.ctype for p in common.params]
            rp = [p.ctype for p in remote.params]
            if "client" not in rp or common.err != remote.err or common.result != remote.result:
                irregular.append(n)
                continue
            rp.remove("client")
            if rp != cp:
                irregular.append(n)
        self.known("remote forms differing in more than the client", len(irregular))
        self.expect("remote forms differing in more than the client (names)", sorted(irregular),
                    sorted("Quorix_initialization DataSources_new Field_getCopy WorkFlow_getCopy".split()))
        self.known("names whose rows speak of a remote form but carry their own _on_client slot",
                   sum(1 for n in ("Any_newFrom_Int", "Any_newFrom_Double", "Any_newFrom_String",
                                   "Any_newFrom_String_with_size")
                       if n in single and n + "_on_client" in single))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--family")
    ap.add_argument("--quiet", action="store_true")
    ap.add_argument("--catalogue", default=cat_mod.CATALOGUE_DIR, help="the catalogue directory")
    args = ap.parse_args()
    try:
        cat = cat_mod.Catalogue(args.catalogue)
    except cat_mod.CatalogueError as exc:
        print("catalogue: %s" % exc, file=sys.stderr)
        return 1
    ch = Checker(cat)
    if args.family:
        fam = dict(cat.families).get(args.family)
        if fam is None:
            print("no family %s" % args.family, file=sys.stderr)
            return 1
        ch.check_family(args.family, fam)
    else:
        ch.check_all()
    if not args.quiet:
        for what, found in ch.figures:
            print("  %-70s %s" % (what, found if not isinstance(found, list) or len(found) < 6 else "%d names" % len(found)))
    for err in ch.errors:
        print("catalogue audit: " + err, file=sys.stderr)
    if ch.errors:
        print("catalogue audit FAILED: %d published figure(s) disagree with the catalogue" % len(ch.errors), file=sys.stderr)
        return 1
    if not args.quiet:
        print("catalogue audit passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
