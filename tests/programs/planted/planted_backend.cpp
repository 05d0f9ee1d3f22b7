// A small implementation library loaded as "common", built once per fault that tvxapi-check must
// find: PLANT_NONE keeps every requirement; each PLANT_... definition breaks exactly one.
//
// Objects: scopings, fields, data sources, serialization streams and the proxy operators. Every
// object handed out is in a process-wide table of reference counts, and every entry looks its
// objects up there first, so a use after release is a clean "unknown object" failure rather than
// a crash: only the planted faults crash or hang.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <unistd.h>

#include "tvx/implementation.h"

#if !defined(PLANT_NONE) && !defined(PLANT_NO_TERMINATOR) && !defined(PLANT_NULL_TEXT) &&                \
    !defined(PLANT_STICKY_SIZE) && !defined(PLANT_NULL_CRASH) && !defined(PLANT_HANG) &&                 \
    !defined(PLANT_TYPO) && !defined(PLANT_LOSSY_COPY) && !defined(PLANT_SHARED_DUPLICATE) &&            \
    !defined(PLANT_RELEASE_NULL_FAILS) && !defined(PLANT_NO_PROXY) && !defined(PLANT_HUGE_SIZE)
#  error "define PLANT_NONE or one PLANT_... fault"
#endif

namespace {

// --- objects -----------------------------------------------------------------------------------

enum class Kind { Scoping, Field, DataSources, Stream, Operator };

const char* kind_name(Kind kind) {
    switch (kind) {
    case Kind::Scoping: return "scoping";
    case Kind::Field: return "field";
    case Kind::DataSources: return "data sources";
    case Kind::Stream: return "stream";
    case Kind::Operator: return "operator";
    }
    return "object";
}

struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    Kind kind;
};

struct Scoping : Object {
    Scoping() : Object(Kind::Scoping) {}
    std::vector<int> ids;
};

struct Field : Object {
    Field(int c, int e, std::string l) : Object(Kind::Field), components(c), entities(e), location(std::move(l)) {}
    int components;
    int entities;
    std::string location;
    std::vector<double> data;
};

struct DataSources : Object {
    DataSources() : Object(Kind::DataSources) {}
    std::map<std::string, std::string> paths;  // key -> path
};

struct Stream : Object {
    explicit Stream(std::string b) : Object(Kind::Stream), bytes(std::move(b)) {}
    std::string bytes;
};

struct Operator : Object {
    explicit Operator(std::string n) : Object(Kind::Operator), name(std::move(n)) {}
    ~Operator() override;
    std::string name;
    std::map<int, int> ints;
    std::map<int, Object*> objects;  // one reference each, released with the operator
};

// The reference counts of every object handed out.
std::mutex table_lock;
std::map<Object*, int>& table() {
    static std::map<Object*, int> counts;
    return counts;
}

CSharedObjectBase* hand_out(Object* object) {
    std::lock_guard<std::mutex> lock(table_lock);
    table()[object] = 1;
    return reinterpret_cast<CSharedObjectBase*>(object);
}

bool known(const void* p) {
    std::lock_guard<std::mutex> lock(table_lock);
    return table().count(static_cast<Object*>(const_cast<void*>(p))) != 0;
}

void retain(Object* object) {
    std::lock_guard<std::mutex> lock(table_lock);
    ++table().at(object);
}

void release(Object* object) {
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(table_lock);
        auto it = table().find(object);
        if (it == table().end()) return;
        if (--it->second == 0) {
            table().erase(it);
            last = true;
        }
    }
    if (last) delete object;  // outside the lock: an operator releases what it holds
}

Operator::~Operator() {
    for (auto& pin : objects) release(pin.second);
}

Object& any_object(const void* p, const char* role = "object") {
    if (p == nullptr) throw std::runtime_error(std::string("the ") + role + " is null");
    if (!known(p)) throw std::runtime_error(std::string("unknown object (the ") + role + ")");
    return *static_cast<Object*>(const_cast<void*>(p));
}

template <class T>
T& object_of(const void* p, Kind kind) {
    Object& object = any_object(p, kind_name(kind));
    if (object.kind != kind)
        throw std::runtime_error(std::string("the ") + kind_name(kind) + " is a " + kind_name(object.kind));
    return static_cast<T&>(object);
}

void check_count(int count, const void* values, const char* what) {
    if (count < 0) throw std::runtime_error(std::string("a negative number of ") + what);
    if (count > 0 && values == nullptr) throw std::runtime_error(std::string("the ") + what + " are null");
}

// --- the error pair ----------------------------------------------------------------------------

void report(const std::string& text, int* size, wchar_t** message) {
#if defined(PLANT_NULL_TEXT)
    (void)text;
    if (message != nullptr) *message = nullptr;
    if (size != nullptr) *size = 5;
#else
    // The text is ASCII: one wchar_t per byte.
    auto* wide = static_cast<wchar_t*>(std::malloc((text.size() + 1) * sizeof(wchar_t)));
    if (wide != nullptr) {
        for (std::size_t i = 0; i < text.size(); ++i) wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
        wide[text.size()] = L'\0';
    }
    if (message != nullptr) *message = wide;
#  if defined(PLANT_NO_TERMINATOR)
    const int length = wide != nullptr ? static_cast<int>(std::wcslen(wide)) : 0;
#  elif defined(PLANT_HUGE_SIZE)
    const int length = 1 << 30;  // far past the end of the message
#  else
    const int length = wide != nullptr ? static_cast<int>(std::wcslen(wide) + 1) : 0;
#  endif
    if (size != nullptr) *size = wide != nullptr ? length : -1;
#endif
}

// Runs an entry's work: the size cleared first, a thrown failure reported as "entry: what" and a
// zero result.
template <class Work>
auto entry(const char* name, int* size, wchar_t** message, Work&& work) -> decltype(work()) {
    using Result = decltype(work());
#if !defined(PLANT_STICKY_SIZE)
    if (size != nullptr) *size = 0;
#endif
    try {
        return work();
    } catch (const std::exception& e) {
        report(std::string(name) + ": " + e.what(), size, message);
    } catch (...) {
        report(std::string(name) + ": unknown failure", size, message);
    }
    if constexpr (!std::is_void_v<Result>) return Result{};
}

// --- serialization: a text form, "scoping <n> <ids>" or
// "field <components> <entities> <location length> <location> <n> <values>" --------------------

std::string serialized(const Object& object) {
    std::string out;
    char number[40];
    if (object.kind == Kind::Scoping) {
        const auto& s = static_cast<const Scoping&>(object);
        out = "scoping " + std::to_string(s.ids.size());
        for (int id : s.ids) out += " " + std::to_string(id);
    } else if (object.kind == Kind::Field) {
        const auto& f = static_cast<const Field&>(object);
        out = "field " + std::to_string(f.components) + " " + std::to_string(f.entities) + " " +
              std::to_string(f.location.size()) + " " + f.location + " " + std::to_string(f.data.size());
        for (double v : f.data) {
            std::snprintf(number, sizeof number, " %.17g", v);
            out += number;
        }
    } else {
        throw std::runtime_error(std::string("cannot serialize a ") + kind_name(object.kind));
    }
    return out;
}

struct Reader {
    const std::string& text;
    std::size_t at = 0;

    std::string word() {
        while (at < text.size() && text[at] == ' ') ++at;
        const std::size_t start = at;
        while (at < text.size() && text[at] != ' ') ++at;
        if (start == at) throw std::runtime_error("the bytes end early");
        return text.substr(start, at - start);
    }
    long integer() {
        const std::string w = word();
        char* end = nullptr;
        const long v = std::strtol(w.c_str(), &end, 10);
        if (*end != '\0') throw std::runtime_error("not a number: " + w);
        return v;
    }
    std::size_t count() {
        const long v = integer();
        if (v < 0 || static_cast<std::size_t>(v) > text.size()) throw std::runtime_error("a count out of range");
        return static_cast<std::size_t>(v);
    }
    double real() {
        const std::string w = word();
        char* end = nullptr;
        const double v = std::strtod(w.c_str(), &end);
        if (*end != '\0') throw std::runtime_error("not a number: " + w);
        return v;
    }
    std::string exactly(std::size_t n) {  // after one space
        if (at >= text.size() || text[at] != ' ' || text.size() - at - 1 < n) throw std::runtime_error("the bytes end early");
        at += 1 + n;
        return text.substr(at - n, n);
    }
    void end() {
        if (at != text.size()) throw std::runtime_error("bytes left over");
    }
};

Object* deserialized(const std::string& bytes) {
    Reader in{bytes};
    const std::string kind = in.word();
    if (kind == "scoping") {
        auto s = std::make_unique<Scoping>();
        for (std::size_t n = in.count(); n > 0; --n) s->ids.push_back(static_cast<int>(in.integer()));
        in.end();
#if defined(PLANT_LOSSY_COPY)
        if (!s->ids.empty()) s->ids.pop_back();
#endif
        return s.release();
    }
    if (kind == "field") {
        const int components = static_cast<int>(in.integer());
        const int entities = static_cast<int>(in.integer());
        const std::size_t location_length = in.count();
        auto f = std::make_unique<Field>(components, entities, in.exactly(location_length));
        for (std::size_t n = in.count(); n > 0; --n) f->data.push_back(in.real());
        in.end();
#if defined(PLANT_LOSSY_COPY)
        if (!f->data.empty()) f->data.pop_back();
#endif
        return f.release();
    }
    throw std::runtime_error("not a serialized scoping or field");
}

}  // namespace

// --- releasing and duplicating -----------------------------------------------------------------

TVX_IMPLEMENTATION_ENTRY void Quorix_delete_shared_object(CSharedObjectBase* obj, int* error_size, wchar_t** error_message) {
    entry(__func__, error_size, error_message, [&] {
#if defined(PLANT_RELEASE_NULL_FAILS)
        release(&any_object(obj));
#else
        if (obj != nullptr) release(&any_object(obj));
#endif
    });
}

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Quorix_duplicate_object_reference(CSharedObjectBase* obj, int* error_size,
                                                                              wchar_t** error_message) {
    return entry(__func__, error_size, error_message, [&] {
        Object& object = any_object(obj);
#if !defined(PLANT_SHARED_DUPLICATE)
        retain(&object);
#endif
        return reinterpret_cast<CSharedObjectBase*>(&object);
    });
}

// --- serialization -----------------------------------------------------------------------------

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Quorix_serialize(CSharedObjectBase* obj, int* error_size, wchar_t** error_message) {
    return entry(__func__, error_size, error_message, [&] { return hand_out(new Stream(serialized(any_object(obj)))); });
}

TVX_IMPLEMENTATION_ENTRY const char* SerializationStream_getOutputString(CSharedObjectBase* stream, size_t* length,
                                                                         int* error_size, wchar_t** error_message) {
    return entry(__func__, error_size, error_message, [&] {
        Stream& s = object_of<Stream>(stream, Kind::Stream);
        if (length == nullptr) throw std::runtime_error("the length is null");
        *length = s.bytes.size();
        return s.bytes.c_str();
    });
}

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Quorix_deserialize(const char* bytes, size_t length, int* error_size,
                                                               wchar_t** error_message) {
    return entry(__func__, error_size, error_message, [&] {
        if (bytes == nullptr || length == 0) throw std::runtime_error("nothing to deserialize");
        return hand_out(deserialized(std::string(bytes, length)));
    });
}

// --- scopings ----------------------------------------------------------------------------------

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Scoping_new(int* error_size, wchar_t** error_message) {
    return entry(__func__, error_size, error_message, [&] { return hand_out(new Scoping); });
}

TVX_IMPLEMENTATION_ENTRY void Scoping_SetIds(CSharedObjectBase* scoping, const int* ids, int count, int* error_size,
                                             wchar_t** error_message) {
    entry(__func__, error_size, error_message, [&] {
        Scoping& s = object_of<Scoping>(scoping, Kind::Scoping);
        check_count(count, ids, "ids");
        s.ids.assign(ids, ids + count);
    });
}

TVX_IMPLEMENTATION_ENTRY int Scoping_GetSize(CSharedObjectBase* obj, int* error_size, wchar_t** error_message) {
    return entry(__func__, error_size, error_message, [&] {
#if defined(PLANT_NULL_CRASH)
        return static_cast<int>(reinterpret_cast<Scoping*>(obj)->ids.size());  // no check at all
#else
        return static_cast<int>(object_of<Scoping>(obj, Kind::Scoping).ids.size());
#endif
    });
}

// --- fields ------------------------------------------------------------------------------------

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Field_new(int components, int entities, const char* location,
                                                      int* error_size, wchar_t** error_message) {
    return entry(__func__, error_size, error_message, [&] {
        if (components < 0 || entities < 0) throw std::runtime_error("a negative size");
        return hand_out(new Field(components, entities, location != nullptr ? location : ""));
    });
}

TVX_IMPLEMENTATION_ENTRY void CSField_SetData(CSharedObjectBase* field, int count, double* values, int* error_size,
                                              wchar_t** error_message) {
    entry(__func__, error_size, error_message, [&] {
        Field& f = object_of<Field>(field, Kind::Field);
        check_count(count, values, "values");
        f.data.assign(values, values + count);
    });
}

#if !defined(PLANT_TYPO)
TVX_IMPLEMENTATION_ENTRY int CSField_GetNumberOfComponents(CSharedObjectBase* field, int* error_size,
                                                           wchar_t** error_message) {
#  if defined(PLANT_HANG)
    if (field == nullptr)
        for (;;) sleep(1);
#  endif
    return entry(__func__, error_size, error_message, [&] { return object_of<Field>(field, Kind::Field).components; });
}
#else
// The getter under a near miss of CSField_GetData, and the client-side name of Field_new: neither is
// ever looked up.
extern "C" __attribute__((visibility("default"))) double* CSField_Getdata(CSharedObjectBase* field, int* size,
                                                                          int* error_size, wchar_t** error_message) {
    return entry(__func__, error_size, error_message, [&] {
        Field& f = object_of<Field>(field, Kind::Field);
        if (size != nullptr) *size = static_cast<int>(f.data.size());
        return f.data.data();
    });
}

extern "C" __attribute__((visibility("default"))) CSharedObjectBase* Field_new_on_client(
    int components, int entities, const char* location, int* error_size, wchar_t** error_message) {
    return Field_new(components, entities, location, error_size, error_message);
}
#endif

// --- data sources ------------------------------------------------------------------------------

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* DataSources_new(const char* path, int* error_size, wchar_t** error_message) {
    return entry(__func__, error_size, error_message, [&] {
        auto* ds = new DataSources;
        if (path != nullptr && *path != '\0') ds->paths["rst"] = path;
        return hand_out(ds);
    });
}

TVX_IMPLEMENTATION_ENTRY void DataSources_SetResultFilePathWithKeyUtf8(CSharedObjectBase* ds, const char* path,
                                                                       const char* key, int* error_size,
                                                                       wchar_t** error_message) {
    entry(__func__, error_size, error_message, [&] {
        DataSources& d = object_of<DataSources>(ds, Kind::DataSources);
        if (path == nullptr || key == nullptr) throw std::runtime_error("the path or the key is null");
        d.paths[key] = path;
    });
}

// --- the proxy operators: made and connected here, never run -----------------------------------

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Operator_new(const char* name, int* error_size, wchar_t** error_message) {
    return entry(__func__, error_size, error_message, [&] {
        const std::string n = name != nullptr ? name : "";
#if defined(PLANT_NO_PROXY)
        const bool proxy = n == "remote_workflow_instantiate";
#else
        const bool proxy = n == "remote_operator_instantiate" || n == "remote_workflow_instantiate";
#endif
        if (!proxy) throw std::runtime_error("unknown operator \"" + n + "\"");
        return hand_out(new Operator(n));
    });
}

TVX_IMPLEMENTATION_ENTRY void Operator_connect_int(CSharedObjectBase* op, int pin, int value, int* error_size,
                                                   wchar_t** error_message) {
    entry(__func__, error_size, error_message, [&] {
        Operator& o = object_of<Operator>(op, Kind::Operator);
        if (pin < 0) throw std::runtime_error("a negative pin");
        o.ints[pin] = value;
    });
}

TVX_IMPLEMENTATION_ENTRY void Operator_connect_DataSources(CSharedObjectBase* op, int pin, CSharedObjectBase* value,
                                                           int* error_size, wchar_t** error_message) {
    entry(__func__, error_size, error_message, [&] {
        Operator& o = object_of<Operator>(op, Kind::Operator);
        DataSources& ds = object_of<DataSources>(value, Kind::DataSources);
        if (pin < 0) throw std::runtime_error("a negative pin");
        retain(&ds);
        auto it = o.objects.find(pin);
        if (it != o.objects.end()) {
            Object* previous = it->second;
            it->second = &ds;
            release(previous);
        } else {
            o.objects[pin] = &ds;
        }
    });
}

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Operator_getoutput_Operator(CSharedObjectBase* op, int pin, int* error_size,
                                                                        wchar_t** error_message) {
    return entry(__func__, error_size, error_message, [&]() -> CSharedObjectBase* {
        object_of<Operator>(op, Kind::Operator);
        (void)pin;
        throw std::runtime_error("the proxy has not run");
    });
}
