// The in-process sample implementation library, loaded by TVXClientAPI as "common".
//
// Every object it hands out is a framework object (tvxsample::Object) seen from outside as an
// opaque CSharedObjectBase*; each object an entry returns is a new reference that
// Quorix_delete_shared_object releases. The raw pointers of the fast-access entries (CField*,
// CScoping*) are the same objects, borrowed from the handle that holds them. Strings and arrays an
// entry returns point into the object that returned them and stay valid while it lives and is not
// changed.
//
// Only what the sample scenario needs is exported; TVXClientAPI reports any other entry as
// missing ("Invalid API pointer when calling function ...").
#include <cstddef>
#include <string>

#include "entry_support.h"
#include "inprocess/remote_proxy.h"
#include "sample_framework.h"

// The opaque types of the entries' signatures: framework objects under other names.
struct CSharedObjectBase;
struct CField;
struct CScoping;

namespace {

using namespace tvxsample;

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::Field: return "a field";
        case Kind::Scoping: return "a scoping";
        case Kind::DataSources: return "data sources";
        case Kind::Stream: return "a stream";
        case Kind::Operator: return "an operator";
        case Kind::Client: return "a client";
    }
    return "an unknown object";
}

std::runtime_error failure(const char* entry, const std::string& what) {
    return std::runtime_error(std::string(entry) + ": " + what);
}

// The framework object behind an opaque pointer, checked to be of `kind`; `role` names the
// argument in messages ("the field", "the scoping to set").
template <class T>
T* as(const char* entry, const void* p, Kind kind, const char* role) {
    if (p == nullptr) throw failure(entry, std::string(role) + " is null");
    auto* object = static_cast<Object*>(const_cast<void*>(p));
    if (object->kind() != kind)
        throw failure(entry, std::string(role) + " is " + kind_name(object->kind()) + ", not " + kind_name(kind));
    return static_cast<T*>(object);
}

Field* field_of(const char* entry, const void* p) { return as<Field>(entry, p, Kind::Field, "the field"); }
Scoping* scoping_of(const char* entry, const void* p) { return as<Scoping>(entry, p, Kind::Scoping, "the scoping"); }
Operator* operator_of(const char* entry, const void* p) { return as<Operator>(entry, p, Kind::Operator, "the operator"); }

CSharedObjectBase* out(Object* object) { return reinterpret_cast<CSharedObjectBase*>(object); }

// Runs `work` for entry `entry`, prefixing a framework failure with the entry's name.
template <class Work>
auto entry(const char* name, int* size, wchar_t** message, Work&& work) {
    return guarded(size, message, [&] {
        try {
            return work();
        } catch (const std::runtime_error& e) {
            const std::string what = e.what();
            if (what.rfind(std::string(name) + ": ", 0) == 0) throw;
            throw failure(name, what);
        }
    });
}

}  // namespace

// --- releasing and sharing ---------------------------------------------------------------------

// Releasing nothing is not a failure: TVXClientAPI forwards a null object when there is none.
TVX_SAMPLE_ENTRY void Quorix_delete_shared_object(CSharedObjectBase* object, int* size, wchar_t** message) {
    entry("Quorix_delete_shared_object", size, message, [&] {
        if (object != nullptr) reinterpret_cast<Object*>(object)->release();
    });
}

TVX_SAMPLE_ENTRY CSharedObjectBase* Quorix_duplicate_object_reference(CSharedObjectBase* object, int* size, wchar_t** message) {
    return entry("Quorix_duplicate_object_reference", size, message, [&] {
        if (object == nullptr) throw std::runtime_error("the object is null");
        return out(reinterpret_cast<Object*>(object)->add_ref());
    });
}

// --- fields ------------------------------------------------------------------------------------

TVX_SAMPLE_ENTRY CSharedObjectBase* Field_new(int components, int reserved_entities, const char* location, int* size, wchar_t** message) {
    return entry("Field_new", size, message, [&] {
        if (components < 1) throw std::runtime_error("a field needs at least one component, not " + std::to_string(components));
        if (reserved_entities < 0) throw std::runtime_error("cannot reserve " + std::to_string(reserved_entities) + " entities");
        auto* field = new Field(components, location != nullptr ? location : "");
        field->data.reserve(static_cast<std::size_t>(components) * static_cast<std::size_t>(reserved_entities));
        return out(field);
    });
}

// `count` values, entity after entity; they replace the field's data.
TVX_SAMPLE_ENTRY void CSField_SetData(CSharedObjectBase* object, int count, double* values, int* size, wchar_t** message) {
    entry("CSField_SetData", size, message, [&] {
        Field* field = field_of("CSField_SetData", object);
        if (count < 0 || (count > 0 && values == nullptr))
            throw std::runtime_error("no " + std::to_string(count) + " values to set");
        if (count % field->components != 0)
            throw std::runtime_error(std::to_string(count) + " values do not make whole entities of " +
                                     std::to_string(field->components) + " components");
        field->data.assign(values, values + count);
    });
}

namespace {
double* field_data(const char* name, const void* p, int* count) {
    Field* field = field_of(name, p);
    if (count != nullptr) *count = static_cast<int>(field->data.size());
    return field->data.data();
}
const int* field_ids(const char* name, const void* p, int* count) {
    const Scoping* scoping = field_of(name, p)->scoping_object();
    if (count != nullptr) *count = scoping != nullptr ? static_cast<int>(scoping->ids.size()) : 0;
    return scoping != nullptr ? scoping->ids.data() : nullptr;
}
}  // namespace

// The field's values and their count; the pointer is into the field.
TVX_SAMPLE_ENTRY double* CSField_GetData(CSharedObjectBase* object, int* count, int* size, wchar_t** message) {
    return entry("CSField_GetData", size, message, [&] { return field_data("CSField_GetData", object, count); });
}

// The fast-access pointer: the field itself. Anything else gets no pointer and no error, so that
// TVXClientAPI falls back to the handle entries, which say what is wrong.
TVX_SAMPLE_ENTRY CField* Field_fast_access_ptr(CSharedObjectBase* object, int* size, wchar_t** message) {
    return entry("Field_fast_access_ptr", size, message, [&]() -> CField* {
        auto* o = reinterpret_cast<Object*>(object);
        return o != nullptr && o->kind() == Kind::Field ? reinterpret_cast<CField*>(o) : nullptr;
    });
}

TVX_SAMPLE_ENTRY double* Field_GetData(CField* field, int* count, int* size, wchar_t** message) {
    return entry("Field_GetData", size, message, [&] { return field_data("Field_GetData", field, count); });
}

TVX_SAMPLE_ENTRY int CSField_GetNumberOfComponents(CSharedObjectBase* object, int* size, wchar_t** message) {
    return entry("CSField_GetNumberOfComponents", size, message,
                 [&] { return field_of("CSField_GetNumberOfComponents", object)->components; });
}

TVX_SAMPLE_ENTRY int Field_GetNumberOfComponents(const CField* field, int* size, wchar_t** message) {
    return entry("Field_GetNumberOfComponents", size, message,
                 [&] { return field_of("Field_GetNumberOfComponents", field)->components; });
}

TVX_SAMPLE_ENTRY const char* CSField_GetLocation(CSharedObjectBase* object, int* size, wchar_t** message) {
    return entry("CSField_GetLocation", size, message,
                 [&] { return field_of("CSField_GetLocation", object)->location.c_str(); });
}

TVX_SAMPLE_ENTRY const char* Field_GetLocation(const CField* field, int* size, wchar_t** message) {
    return entry("Field_GetLocation", size, message, [&] { return field_of("Field_GetLocation", field)->location.c_str(); });
}

TVX_SAMPLE_ENTRY int CSField_GetNumberEntities(CSharedObjectBase* object, int* size, wchar_t** message) {
    return entry("CSField_GetNumberEntities", size, message,
                 [&] { return field_of("CSField_GetNumberEntities", object)->entities(); });
}

TVX_SAMPLE_ENTRY int Field_GetNumberOfEntities(const CField* field, int* size, wchar_t** message) {
    return entry("Field_GetNumberOfEntities", size, message,
                 [&] { return field_of("Field_GetNumberOfEntities", field)->entities(); });
}

// The field shares the scoping: later changes to its ids show in the field.
TVX_SAMPLE_ENTRY void CSField_SetCScoping(CSharedObjectBase* object, CSharedObjectBase* scoping, int* size, wchar_t** message) {
    entry("CSField_SetCScoping", size, message, [&] {
        Field* field = field_of("CSField_SetCScoping", object);
        Scoping* s = scoping_of("CSField_SetCScoping", scoping);
        field->scoping = Ref(s->add_ref());
    });
}

// The ids of the field's scoping (none for a field without one).
TVX_SAMPLE_ENTRY const int* CSField_GetScoping(CSharedObjectBase* object, int* count, int* size, wchar_t** message) {
    return entry("CSField_GetScoping", size, message, [&] { return field_ids("CSField_GetScoping", object, count); });
}

TVX_SAMPLE_ENTRY const int* Field_GetScoping(const CField* field, int* count, int* size, wchar_t** message) {
    return entry("Field_GetScoping", size, message, [&] { return field_ids("Field_GetScoping", field, count); });
}

// --- scopings ----------------------------------------------------------------------------------

TVX_SAMPLE_ENTRY CSharedObjectBase* Scoping_new(int* size, wchar_t** message) {
    return entry("Scoping_new", size, message, [&] { return out(new Scoping); });
}

TVX_SAMPLE_ENTRY void Scoping_SetIds(CSharedObjectBase* object, const int* ids, int count, int* size, wchar_t** message) {
    entry("Scoping_SetIds", size, message, [&] {
        Scoping* scoping = scoping_of("Scoping_SetIds", object);
        if (count < 0 || (count > 0 && ids == nullptr)) throw std::runtime_error("no " + std::to_string(count) + " ids to set");
        scoping->ids.assign(ids, ids + count);
    });
}

TVX_SAMPLE_ENTRY const int* Scoping_GetIds(CSharedObjectBase* object, int* count, int* size, wchar_t** message) {
    return entry("Scoping_GetIds", size, message, [&] {
        Scoping* scoping = scoping_of("Scoping_GetIds", object);
        if (count != nullptr) *count = static_cast<int>(scoping->ids.size());
        return static_cast<const int*>(scoping->ids.data());
    });
}

TVX_SAMPLE_ENTRY int Scoping_GetSize(CSharedObjectBase* object, int* size, wchar_t** message) {
    return entry("Scoping_GetSize", size, message,
                 [&] { return static_cast<int>(scoping_of("Scoping_GetSize", object)->ids.size()); });
}

// As Field_fast_access_ptr: the scoping itself, or no pointer and no error for anything else.
TVX_SAMPLE_ENTRY CScoping* Scoping_fast_access_ptr(CSharedObjectBase* object, int* size, wchar_t** message) {
    return entry("Scoping_fast_access_ptr", size, message, [&]() -> CScoping* {
        auto* o = reinterpret_cast<Object*>(object);
        return o != nullptr && o->kind() == Kind::Scoping ? reinterpret_cast<CScoping*>(o) : nullptr;
    });
}

// The fast entries have no error pair: a null or foreign pointer reads as an empty scoping.
TVX_SAMPLE_ENTRY const int* Scoping_fast_get_ids(CScoping* scoping, int* count) {
    auto* o = reinterpret_cast<Object*>(scoping);
    const bool usable = o != nullptr && o->kind() == Kind::Scoping;
    if (count != nullptr) *count = usable ? static_cast<int>(static_cast<Scoping*>(o)->ids.size()) : 0;
    return usable ? static_cast<Scoping*>(o)->ids.data() : nullptr;
}

TVX_SAMPLE_ENTRY int Scoping_fast_get_size(CScoping* scoping) {
    auto* o = reinterpret_cast<Object*>(scoping);
    return o != nullptr && o->kind() == Kind::Scoping ? static_cast<int>(static_cast<Scoping*>(o)->ids.size()) : 0;
}

// --- serialization -----------------------------------------------------------------------------

// A stream holding the object's bytes (fields and scopings).
TVX_SAMPLE_ENTRY CSharedObjectBase* Quorix_serialize(CSharedObjectBase* object, int* size, wchar_t** message) {
    return entry("Quorix_serialize", size, message, [&] {
        if (object == nullptr) throw std::runtime_error("the object is null");
        return out(new Stream(serialize(*reinterpret_cast<Object*>(object))));
    });
}

// The stream's bytes and their count; the pointer is into the stream.
TVX_SAMPLE_ENTRY const char* SerializationStream_getOutputString(CSharedObjectBase* object, size_t* length, int* size, wchar_t** message) {
    return entry("SerializationStream_getOutputString", size, message, [&] {
        Stream* stream = as<Stream>("SerializationStream_getOutputString", object, Kind::Stream, "the stream");
        if (length != nullptr) *length = stream->bytes.size();
        return stream->bytes.data();
    });
}

TVX_SAMPLE_ENTRY CSharedObjectBase* Quorix_deserialize(const char* bytes, size_t length, int* size, wchar_t** message) {
    return entry("Quorix_deserialize", size, message, [&] {
        if (bytes == nullptr && length > 0) throw std::runtime_error("no bytes to read");
        return out(deserialize(std::string(bytes != nullptr ? bytes : "", length)));
    });
}

// --- data sources ------------------------------------------------------------------------------

// Data sources, with `path` as a result file path under no key when one is given.
TVX_SAMPLE_ENTRY CSharedObjectBase* DataSources_new(const char* path, int* size, wchar_t** message) {
    return entry("DataSources_new", size, message, [&] {
        auto* sources = new DataSources;
        if (path != nullptr) sources->paths.emplace("", path);
        return out(sources);
    });
}

// The result file path under `key`, replacing any path the key had.
TVX_SAMPLE_ENTRY void DataSources_SetResultFilePathWithKeyUtf8(CSharedObjectBase* object, const char* path, const char* key, int* size, wchar_t** message) {
    entry("DataSources_SetResultFilePathWithKeyUtf8", size, message, [&] {
        auto* sources = as<DataSources>("DataSources_SetResultFilePathWithKeyUtf8", object, Kind::DataSources, "the data sources");
        if (path == nullptr || key == nullptr) throw std::runtime_error("the path and the key must not be null");
        sources->paths.erase(key);
        sources->paths.emplace(key, path);
    });
}

// --- operators ---------------------------------------------------------------------------------

TVX_SAMPLE_ENTRY CSharedObjectBase* Operator_new(const char* name, int* size, wchar_t** message) {
    return entry("Operator_new", size, message, [&] {
        if (name == nullptr) throw std::runtime_error("the operator name is null");
        const std::string wanted = name;
        Operator* op = wanted == inprocess::kRemoteOperatorInstantiate ? inprocess::make_remote_operator_instantiate()
                                                                        : make_operator(wanted);
        if (op == nullptr)
            throw std::runtime_error("no operator is called \"" + wanted + "\" (known: scale, add, " +
                                     inprocess::kRemoteOperatorInstantiate + ")");
        return out(op);
    });
}

TVX_SAMPLE_ENTRY void Operator_connect_Field(CSharedObjectBase* op, int pin, CSharedObjectBase* field, int* size, wchar_t** message) {
    entry("Operator_connect_Field", size, message, [&] {
        operator_of("Operator_connect_Field", op)->connect_field(pin, field_of("Operator_connect_Field", field));
    });
}

TVX_SAMPLE_ENTRY void Operator_connect_double(CSharedObjectBase* op, int pin, double value, int* size, wchar_t** message) {
    entry("Operator_connect_double", size, message, [&] { operator_of("Operator_connect_double", op)->connect_double(pin, value); });
}

TVX_SAMPLE_ENTRY void Operator_connect_int(CSharedObjectBase* op, int pin, int value, int* size, wchar_t** message) {
    entry("Operator_connect_int", size, message, [&] { operator_of("Operator_connect_int", op)->connect_int(pin, value); });
}

TVX_SAMPLE_ENTRY void Operator_connect_DataSources(CSharedObjectBase* op, int pin, CSharedObjectBase* sources, int* size, wchar_t** message) {
    entry("Operator_connect_DataSources", size, message, [&] {
        operator_of("Operator_connect_DataSources", op)
            ->connect_data_sources(pin, as<DataSources>("Operator_connect_DataSources", sources, Kind::DataSources, "the data sources"));
    });
}

// Output 0 of `upstream` feeds `pin`; it is computed when `op` runs.
TVX_SAMPLE_ENTRY void Operator_connect_Operator_as_input(CSharedObjectBase* op, int pin, CSharedObjectBase* upstream, int* size, wchar_t** message) {
    entry("Operator_connect_Operator_as_input", size, message, [&] {
        operator_of("Operator_connect_Operator_as_input", op)
            ->connect_operator(pin, as<Operator>("Operator_connect_Operator_as_input", upstream, Kind::Operator, "the input operator"));
    });
}

TVX_SAMPLE_ENTRY void Operator_run(CSharedObjectBase* op, int* size, wchar_t** message) {
    entry("Operator_run", size, message, [&] { operator_of("Operator_run", op)->run(); });
}

TVX_SAMPLE_ENTRY CSharedObjectBase* Operator_getoutput_Field(CSharedObjectBase* op, int pin, int* size, wchar_t** message) {
    return entry("Operator_getoutput_Field", size, message,
                 [&] { return out(operator_of("Operator_getoutput_Field", op)->output_field(pin)); });
}

TVX_SAMPLE_ENTRY CSharedObjectBase* Operator_getoutput_Operator(CSharedObjectBase* op, int pin, int* size, wchar_t** message) {
    return entry("Operator_getoutput_Operator", size, message,
                 [&] { return out(operator_of("Operator_getoutput_Operator", op)->output_operator(pin)); });
}
