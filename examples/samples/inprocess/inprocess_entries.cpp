// The in-process sample implementation library, loaded by TVXClientAPI as "common".
//
// Every object it hands out is a framework object (tvxsample::Object) seen from outside as an
// opaque CSharedObjectBase*; each object an entry returns is a new reference that
// Quorix_delete_shared_object releases (framework/shared_entries.cpp, with the other entries both
// samples define alike). The raw pointers of the fast-access entries (CField*, CScoping*) are the
// same objects, borrowed from the handle that holds them. Text and arrays an entry returns point
// into the object that returned them and stay valid while it lives and is not changed; the caller
// never releases them.
//
// Only what the sample scenario needs is exported; TVXClientAPI reports any other entry as
// missing ("Invalid API pointer when calling function ...").
#include <cstddef>
#include <string>

#include "tvx/implementation.h"

#include "entry_support.h"
#include "inprocess/remote_proxy.h"
#include "sample_framework.h"

using namespace tvxsample;

namespace {

Field& field_of(const void* p) { return expect<Field>(p, Kind::Field, "field"); }
Scoping& scoping_of(const void* p) { return expect<Scoping>(p, Kind::Scoping, "scoping"); }
Operator& operator_of(const void* p, const char* role = "operator") { return expect<Operator>(p, Kind::Operator, role); }

double* field_data(const void* p, int& size) {
    Field& field = field_of(p);
    size = static_cast<int>(field.data.size());
    return field.data.data();
}

const int* field_ids(const void* p, int& size) {
    const Scoping* scoping = field_of(p).scoping_object();
    size = scoping != nullptr ? static_cast<int>(scoping->ids.size()) : 0;
    return scoping != nullptr ? scoping->ids.data() : nullptr;
}

// The fast-access pointer of `T`: the object itself when it is of `kind`. Anything else gets no
// pointer and no error, so that TVXClientAPI falls back to the handle entries, which say what is wrong.
template <class T>
T* fast_access(const void* p, Kind kind) {
    const auto* object = static_cast<const Object*>(p);
    return object != nullptr && object->kind() == kind ? static_cast<T*>(const_cast<void*>(p)) : nullptr;
}

// The operators Operator_new makes: the framework's, and the stand-in for server operators.
const OperatorTable& operators() {
    static const OperatorTable table = framework_operators().with(
        {{inprocess::kRemoteOperatorInstantiate, inprocess::make_remote_operator_instantiate}});
    return table;
}

}  // namespace

// --- fields ------------------------------------------------------------------------------------

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Field_new(int components, int entities, const char* location,
                                                      int* error_size, wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] {
        if (components < 1) throw std::runtime_error("a field needs at least one component, not " + std::to_string(components));
        if (entities < 0) throw std::runtime_error("cannot reserve " + std::to_string(entities) + " entities");
        auto* field = new Field(components, location != nullptr ? location : "");
        field->data.reserve(static_cast<std::size_t>(components) * static_cast<std::size_t>(entities));
        return handed_out(field);
    });
}

// `count` values, entity after entity; they replace the field's data.
TVX_IMPLEMENTATION_ENTRY void CSField_SetData(CSharedObjectBase* field, int count, double* values, int* error_size,
                                              wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] {
        Field& f = field_of(field);
        check_count(count, values, "values");
        if (count % f.components != 0)
            throw std::runtime_error(std::to_string(count) + " values do not make whole entities of " +
                                     std::to_string(f.components) + " components");
        f.data.assign(values, values + count);
    });
}

// The field's values and their count; the pointer is into the field.
TVX_IMPLEMENTATION_ENTRY double* CSField_GetData(CSharedObjectBase* field, int& size, int* error_size,
                                                 wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] { return field_data(field, size); });
}

TVX_IMPLEMENTATION_ENTRY CField* Field_fast_access_ptr(CSharedObjectBase* obj, int* error_size, wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] { return fast_access<CField>(obj, Kind::Field); });
}

TVX_IMPLEMENTATION_ENTRY double* Field_GetData(CField* field, int& size, int* error_size, wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] { return field_data(field, size); });
}

TVX_IMPLEMENTATION_ENTRY int CSField_GetNumberOfComponents(CSharedObjectBase* field, int* error_size,
                                                           wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] { return field_of(field).components; });
}

TVX_IMPLEMENTATION_ENTRY int Field_GetNumberOfComponents(const CField* field, int* error_size, wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] { return field_of(field).components; });
}

// The location is the field's own text.
TVX_IMPLEMENTATION_ENTRY const char* CSField_GetLocation(CSharedObjectBase* field, int* error_size,
                                                         wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] { return field_of(field).location.c_str(); });
}

TVX_IMPLEMENTATION_ENTRY const char* Field_GetLocation(const CField* field, int* error_size, wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] { return field_of(field).location.c_str(); });
}

TVX_IMPLEMENTATION_ENTRY int CSField_GetNumberEntities(CSharedObjectBase* obj, int* error_size, wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] { return field_of(obj).entities(); });
}

TVX_IMPLEMENTATION_ENTRY int Field_GetNumberOfEntities(const CField* field, int* error_size, wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] { return field_of(field).entities(); });
}

// The field shares the scoping: later changes to its ids show in the field.
TVX_IMPLEMENTATION_ENTRY void CSField_SetCScoping(CSharedObjectBase* field, CSharedObjectBase* scoping, int* error_size,
                                                  wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] {
        Field& f = field_of(field);
        Scoping& s = scoping_of(scoping);
        f.scoping = Ref(s.add_ref());
    });
}

// The ids of the field's scoping (none for a field without one).
TVX_IMPLEMENTATION_ENTRY const int* CSField_GetScoping(CSharedObjectBase* field, int& size, int* error_size,
                                                       wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] { return field_ids(field, size); });
}

TVX_IMPLEMENTATION_ENTRY const int* Field_GetScoping(const CField* field, int& size, int* error_size,
                                                     wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] { return field_ids(field, size); });
}

// --- scopings ----------------------------------------------------------------------------------

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Scoping_new(int* error_size, wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] { return handed_out(new Scoping); });
}

TVX_IMPLEMENTATION_ENTRY void Scoping_SetIds(CSharedObjectBase* scoping, const int* ids, int count, int* error_size,
                                             wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] {
        Scoping& s = scoping_of(scoping);
        check_count(count, ids, "ids");
        s.ids.assign(ids, ids + count);
    });
}

TVX_IMPLEMENTATION_ENTRY const int* Scoping_GetIds(CSharedObjectBase* obj, int& size, int* error_size,
                                                   wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] {
        const Scoping& s = scoping_of(obj);
        size = static_cast<int>(s.ids.size());
        return s.ids.data();
    });
}

TVX_IMPLEMENTATION_ENTRY int Scoping_GetSize(CSharedObjectBase* obj, int* error_size, wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] { return static_cast<int>(scoping_of(obj).ids.size()); });
}

TVX_IMPLEMENTATION_ENTRY CScoping* Scoping_fast_access_ptr(CSharedObjectBase* obj, int* error_size,
                                                           wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] { return fast_access<CScoping>(obj, Kind::Scoping); });
}

// The fast entries have no error pair: a null or foreign pointer reads as an empty scoping.
TVX_IMPLEMENTATION_ENTRY const int* Scoping_fast_get_ids(CScoping* scoping, int& size) {
    const Scoping* s = fast_access<Scoping>(scoping, Kind::Scoping);
    size = s != nullptr ? static_cast<int>(s->ids.size()) : 0;
    return s != nullptr ? s->ids.data() : nullptr;
}

TVX_IMPLEMENTATION_ENTRY int Scoping_fast_get_size(CScoping* scoping) {
    const Scoping* s = fast_access<Scoping>(scoping, Kind::Scoping);
    return s != nullptr ? static_cast<int>(s->ids.size()) : 0;
}

// --- serialization -----------------------------------------------------------------------------

// A stream holding the object's bytes (fields and scopings).
TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Quorix_serialize(CSharedObjectBase* obj, int* error_size,
                                                             wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] { return handed_out(new Stream(serialize(expect_any(obj)))); });
}

// The stream's bytes and their count; the pointer is into the stream.
TVX_IMPLEMENTATION_ENTRY const char* SerializationStream_getOutputString(CSharedObjectBase* stream, size_t* length,
                                                                         int* error_size, wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] {
        const Stream& s = expect<Stream>(stream, Kind::Stream, "stream");
        if (length != nullptr) *length = s.bytes.size();
        return s.bytes.data();
    });
}

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Quorix_deserialize(const char* bytes, size_t length, int* error_size,
                                                               wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] {
        if (bytes == nullptr && length > 0) throw std::runtime_error("no bytes to read");
        return handed_out(deserialize(std::string(bytes != nullptr ? bytes : "", length)));
    });
}

// --- data sources ------------------------------------------------------------------------------

// Data sources, with `path` as a result file path under no key when one is given.
TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* DataSources_new(const char* path, int* error_size, wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] {
        auto* sources = new DataSources;
        if (path != nullptr) sources->paths.emplace("", path);
        return handed_out(sources);
    });
}

// The result file path under `key`, replacing any path the key had.
TVX_IMPLEMENTATION_ENTRY void DataSources_SetResultFilePathWithKeyUtf8(CSharedObjectBase* ds, const char* path,
                                                                       const char* key, int* error_size,
                                                                       wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] {
        auto& sources = expect<DataSources>(ds, Kind::DataSources, "data sources");
        if (path == nullptr || key == nullptr) throw std::runtime_error("the path and the key must not be null");
        sources.paths.erase(key);
        sources.paths.emplace(key, path);
    });
}

// --- operators ---------------------------------------------------------------------------------

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Operator_new(const char* name, int* error_size, wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] {
        if (name == nullptr) throw std::runtime_error("the operator name is null");
        Operator* op = operators().make(name);
        if (op == nullptr)
            throw std::runtime_error("no operator is called \"" + std::string(name) + "\" (known: " + operators().names() + ")");
        return handed_out(op);
    });
}

TVX_IMPLEMENTATION_ENTRY void Operator_connect_Field(CSharedObjectBase* op, int pin, CSharedObjectBase* value,
                                                     int* error_size, wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] { operator_of(op).connect_field(pin, &field_of(value)); });
}

TVX_IMPLEMENTATION_ENTRY void Operator_connect_double(CSharedObjectBase* op, int pin, double value, int* error_size,
                                                      wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] { operator_of(op).connect_double(pin, value); });
}

TVX_IMPLEMENTATION_ENTRY void Operator_connect_int(CSharedObjectBase* op, int pin, int value, int* error_size,
                                                   wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] { operator_of(op).connect_int(pin, value); });
}

TVX_IMPLEMENTATION_ENTRY void Operator_connect_DataSources(CSharedObjectBase* op, int pin, CSharedObjectBase* value,
                                                           int* error_size, wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] {
        operator_of(op).connect_data_sources(pin, &expect<DataSources>(value, Kind::DataSources, "data sources"));
    });
}

// Output 0 of `value` feeds `pin`; it is computed when `op` runs.
TVX_IMPLEMENTATION_ENTRY void Operator_connect_Operator_as_input(CSharedObjectBase* op, int pin, CSharedObjectBase* value,
                                                                 int* error_size, wchar_t** error_message) {
    guarded(__func__, error_size, error_message,
            [&] { operator_of(op).connect_operator(pin, &operator_of(value, "input operator")); });
}

TVX_IMPLEMENTATION_ENTRY void Operator_run(CSharedObjectBase* op, int* error_size, wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] { operator_of(op).run(); });
}

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Operator_getoutput_Field(CSharedObjectBase* op, int pin, int* error_size,
                                                                     wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] { return handed_out(operator_of(op).output_field(pin)); });
}

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Operator_getoutput_Operator(CSharedObjectBase* op, int pin, int* error_size,
                                                                        wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] { return handed_out(operator_of(op).output_operator(pin)); });
}
