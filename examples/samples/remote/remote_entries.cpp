// tvx_sample_remote: the implementation library loaded as "remote", a client of tvx-sample-server.
//
// Every object handed out is a RemoteObject: a client (a connection with its address), a field, a
// scoping or an operator living on the server under an id, or a stream of serialized bytes
// fetched from it. Objects are reference counted; the last release of a server object releases it
// on the server too. Creation entries take the client first (the remote forms); the others take
// the object and reach its server through the connection it carries.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "entry_support.h"
#include "rpc/sample_connection.h"
#include "sample_framework.h"

struct CSharedObjectBase;  // what TVXClientAPI calls our objects; never defined here

namespace {

using tvxsample::guarded;
using tvxsample::Kind;
using tvxsample::rpc::Connection;

constexpr const char* kProtocol = "grpc";

class RemoteObject final : public tvxsample::Object {
public:
    RemoteObject(Kind kind, std::shared_ptr<Connection> connection, std::int32_t id = 0)
        : Object(kind), connection(std::move(connection)), id(id) {}

    ~RemoteObject() override {
        if (id <= 0) return;
        try {
            connection->release(id);
        } catch (...) {
            // The server may be gone already: nothing is left to release then.
        }
    }

    const std::shared_ptr<Connection> connection;
    const std::int32_t id;  // the object's id on the server; 0 for clients and streams
    std::string address;    // clients: the server's address, returned by Client_get_full_address
    std::string bytes;      // streams: the serialized object
};

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::Field: return "a field";
        case Kind::Scoping: return "a scoping";
        case Kind::Operator: return "an operator";
        case Kind::DataSources: return "a data sources object";
        case Kind::Stream: return "a serialization stream";
        case Kind::Client: return "a client";
    }
    return "an object";
}

CSharedObjectBase* hand_out(RemoteObject* object) { return reinterpret_cast<CSharedObjectBase*>(object); }

// The object behind `handle` when it is of kind `kind`; a readable failure otherwise.
RemoteObject& expect(CSharedObjectBase* handle, Kind kind, const char* entry, const char* role) {
    if (handle == nullptr)
        throw std::runtime_error(std::string(entry) + ": the " + role + " is null; expected " + kind_name(kind));
    auto& object = *reinterpret_cast<RemoteObject*>(handle);
    if (object.kind() != kind)
        throw std::runtime_error(std::string(entry) + ": the " + role + " is " + kind_name(object.kind()) +
                                 ", not " + kind_name(kind));
    return object;
}

RemoteObject& expect_any(CSharedObjectBase* handle, const char* entry) {
    if (handle == nullptr) throw std::runtime_error(std::string(entry) + ": the object is null");
    return *reinterpret_cast<RemoteObject*>(handle);
}

// Two objects meet in one call on the server: they must live on the same one.
void same_server(const RemoteObject& a, const RemoteObject& b, const char* entry) {
    if (a.connection->address() != b.connection->address())
        throw std::runtime_error(std::string(entry) + ": the objects live on different servers (" +
                                 a.connection->address() + " and " + b.connection->address() + ")");
}

CSharedObjectBase* new_client(std::shared_ptr<Connection> connection) {
    auto* client = new RemoteObject(Kind::Client, std::move(connection));
    client->address = client->connection->address();
    return hand_out(client);
}

CSharedObjectBase* new_server_object(Kind kind, const std::shared_ptr<Connection>& connection, std::int32_t id) {
    return hand_out(new RemoteObject(kind, connection, id));
}

void check_count(int n, const void* data, const char* entry, const char* what) {
    if (n < 0) throw std::runtime_error(std::string(entry) + ": a negative number of " + what + " (" + std::to_string(n) + ")");
    if (n > 0 && data == nullptr) throw std::runtime_error(std::string(entry) + ": the " + what + " are null");
}

}  // namespace

// --- clients ------------------------------------------------------------------------------------

TVX_SAMPLE_ENTRY CSharedObjectBase* Client_new_full_address(const char* address, int* size, wchar_t** message) {
    return guarded(size, message, [&] {
        if (address == nullptr || *address == '\0') throw std::runtime_error("Client_new_full_address: no address given");
        return new_client(Connection::open(address));
    });
}

TVX_SAMPLE_ENTRY CSharedObjectBase* Client_new(const char* ip, const char* port, int* size, wchar_t** message) {
    return guarded(size, message, [&] {
        if (ip == nullptr || *ip == '\0' || port == nullptr || *port == '\0')
            throw std::runtime_error("Client_new: an address and a port are needed");
        return new_client(Connection::open(std::string(ip) + ":" + port));
    });
}

TVX_SAMPLE_ENTRY char* Client_get_full_address(CSharedObjectBase* client, int* size, wchar_t** message) {
    return guarded(size, message, [&] {
        return &expect(client, Kind::Client, "Client_get_full_address", "client").address[0];
    });
}

TVX_SAMPLE_ENTRY char* Client_get_protocol_name(CSharedObjectBase* client, int* size, wchar_t** message) {
    return guarded(size, message, [&] {
        expect(client, Kind::Client, "Client_get_protocol_name", "client");
        return const_cast<char*>(kProtocol);
    });
}

// The client of the object's server: a new client object on the same connection.
TVX_SAMPLE_ENTRY CSharedObjectBase* Quorix_get_client(CSharedObjectBase* object, int* size, wchar_t** message) {
    return guarded(size, message, [&] {
        RemoteObject& o = expect_any(object, "Quorix_get_client");
        if (o.kind() == Kind::Client) return hand_out(static_cast<RemoteObject*>(o.add_ref()));
        return new_client(o.connection);
    });
}

// --- creation on the server ---------------------------------------------------------------------

// `reserved` is the number of entities the caller expects; the sample's fields grow as data is set.
TVX_SAMPLE_ENTRY CSharedObjectBase* Field_new(CSharedObjectBase* client, int components, int reserved,
                                              const char* location, int* size, wchar_t** message) {
    return guarded(size, message, [&] {
        RemoteObject& c = expect(client, Kind::Client, "Field_new", "client");
        if (reserved < 0) throw std::runtime_error("Field_new: a negative number of entities (" + std::to_string(reserved) + ")");
        const std::int32_t id = c.connection->create_field(components, location != nullptr ? location : "");
        return new_server_object(Kind::Field, c.connection, id);
    });
}

TVX_SAMPLE_ENTRY CSharedObjectBase* Scoping_new(CSharedObjectBase* client, int* size, wchar_t** message) {
    return guarded(size, message, [&] {
        RemoteObject& c = expect(client, Kind::Client, "Scoping_new", "client");
        return new_server_object(Kind::Scoping, c.connection, c.connection->create_scoping());
    });
}

TVX_SAMPLE_ENTRY CSharedObjectBase* Operator_new(const char* name, CSharedObjectBase* client, int* size, wchar_t** message) {
    return guarded(size, message, [&] {
        RemoteObject& c = expect(client, Kind::Client, "Operator_new", "client");
        if (name == nullptr) throw std::runtime_error("Operator_new: no operator name given");
        return new_server_object(Kind::Operator, c.connection, c.connection->create_operator(name));
    });
}

// --- fields and scopings ------------------------------------------------------------------------

TVX_SAMPLE_ENTRY void CSField_SetData(CSharedObjectBase* field, int n, double* data, int* size, wchar_t** message) {
    guarded(size, message, [&] {
        RemoteObject& f = expect(field, Kind::Field, "CSField_SetData", "field");
        check_count(n, data, "CSField_SetData", "values");
        f.connection->set_field_data(f.id, std::vector<double>(data, data + n));
    });
}

TVX_SAMPLE_ENTRY int CSField_GetNumberOfComponents(CSharedObjectBase* field, int* size, wchar_t** message) {
    return guarded(size, message, [&] {
        RemoteObject& f = expect(field, Kind::Field, "CSField_GetNumberOfComponents", "field");
        return f.connection->describe(f.id).components;
    });
}

TVX_SAMPLE_ENTRY void CSField_SetCScoping(CSharedObjectBase* field, CSharedObjectBase* scoping, int* size,
                                          wchar_t** message) {
    guarded(size, message, [&] {
        RemoteObject& f = expect(field, Kind::Field, "CSField_SetCScoping", "field");
        RemoteObject& s = expect(scoping, Kind::Scoping, "CSField_SetCScoping", "scoping");
        same_server(f, s, "CSField_SetCScoping");
        f.connection->set_field_scoping(f.id, s.id);
    });
}

TVX_SAMPLE_ENTRY void Scoping_SetIds(CSharedObjectBase* scoping, const int* ids, int n, int* size, wchar_t** message) {
    guarded(size, message, [&] {
        RemoteObject& s = expect(scoping, Kind::Scoping, "Scoping_SetIds", "scoping");
        check_count(n, ids, "Scoping_SetIds", "ids");
        s.connection->set_scoping_ids(s.id, std::vector<int>(ids, ids + n));
    });
}

TVX_SAMPLE_ENTRY int Scoping_GetSize(CSharedObjectBase* scoping, int* size, wchar_t** message) {
    return guarded(size, message, [&] {
        RemoteObject& s = expect(scoping, Kind::Scoping, "Scoping_GetSize", "scoping");
        return s.connection->describe(s.id).entities;
    });
}

// --- operators ----------------------------------------------------------------------------------

TVX_SAMPLE_ENTRY void Operator_connect_Field(CSharedObjectBase* op, int pin, CSharedObjectBase* field, int* size,
                                             wchar_t** message) {
    guarded(size, message, [&] {
        RemoteObject& o = expect(op, Kind::Operator, "Operator_connect_Field", "operator");
        RemoteObject& f = expect(field, Kind::Field, "Operator_connect_Field", "field");
        same_server(o, f, "Operator_connect_Field");
        o.connection->connect_object(o.id, pin, f.id);
    });
}

TVX_SAMPLE_ENTRY void Operator_connect_Operator_as_input(CSharedObjectBase* op, int pin, CSharedObjectBase* upstream,
                                                         int* size, wchar_t** message) {
    guarded(size, message, [&] {
        RemoteObject& o = expect(op, Kind::Operator, "Operator_connect_Operator_as_input", "operator");
        RemoteObject& u = expect(upstream, Kind::Operator, "Operator_connect_Operator_as_input", "input operator");
        same_server(o, u, "Operator_connect_Operator_as_input");
        o.connection->connect_object(o.id, pin, u.id);
    });
}

TVX_SAMPLE_ENTRY void Operator_connect_double(CSharedObjectBase* op, int pin, double value, int* size, wchar_t** message) {
    guarded(size, message, [&] {
        RemoteObject& o = expect(op, Kind::Operator, "Operator_connect_double", "operator");
        o.connection->connect_double(o.id, pin, value);
    });
}

TVX_SAMPLE_ENTRY void Operator_connect_int(CSharedObjectBase* op, int pin, int value, int* size, wchar_t** message) {
    guarded(size, message, [&] {
        RemoteObject& o = expect(op, Kind::Operator, "Operator_connect_int", "operator");
        o.connection->connect_int(o.id, pin, value);
    });
}

TVX_SAMPLE_ENTRY void Operator_run(CSharedObjectBase* op, int* size, wchar_t** message) {
    guarded(size, message, [&] {
        RemoteObject& o = expect(op, Kind::Operator, "Operator_run", "operator");
        o.connection->run(o.id);
    });
}

TVX_SAMPLE_ENTRY CSharedObjectBase* Operator_getoutput_Field(CSharedObjectBase* op, int pin, int* size, wchar_t** message) {
    return guarded(size, message, [&] {
        RemoteObject& o = expect(op, Kind::Operator, "Operator_getoutput_Field", "operator");
        return new_server_object(Kind::Field, o.connection, o.connection->get_output(o.id, pin));
    });
}

TVX_SAMPLE_ENTRY int Operator_get_id_for_client(CSharedObjectBase* op, int* size, wchar_t** message) {
    return guarded(size, message, [&] {
        return static_cast<int>(expect(op, Kind::Operator, "Operator_get_id_for_client", "operator").id);
    });
}

// --- serialization: the server's bytes, fetched into a stream -----------------------------------

TVX_SAMPLE_ENTRY CSharedObjectBase* Quorix_serialize(CSharedObjectBase* object, int* size, wchar_t** message) {
    return guarded(size, message, [&] {
        RemoteObject& o = expect_any(object, "Quorix_serialize");
        if (o.kind() != Kind::Field && o.kind() != Kind::Scoping)
            throw std::runtime_error(std::string("Quorix_serialize: the object is ") + kind_name(o.kind()) +
                                     "; only fields and scopings are serialized");
        auto* stream = new RemoteObject(Kind::Stream, o.connection);
        tvxsample::Ref guard(stream);  // released if the fetch fails
        stream->bytes = o.connection->get_bytes(o.id);
        guard.p = nullptr;
        return hand_out(stream);
    });
}

TVX_SAMPLE_ENTRY const char* SerializationStream_getOutputString(CSharedObjectBase* stream, std::size_t* length,
                                                                  int* size, wchar_t** message) {
    return guarded(size, message, [&]() -> const char* {
        RemoteObject& s = expect(stream, Kind::Stream, "SerializationStream_getOutputString", "stream");
        if (length == nullptr) throw std::runtime_error("SerializationStream_getOutputString: the length is null");
        *length = s.bytes.size();
        return s.bytes.data();
    });
}

// --- references ---------------------------------------------------------------------------------

// A null object is accepted and ignored: TVXClientAPI releases "no client" that way.
TVX_SAMPLE_ENTRY void Quorix_delete_shared_object(CSharedObjectBase* object, int* size, wchar_t** message) {
    guarded(size, message, [&] {
        if (object != nullptr) reinterpret_cast<RemoteObject*>(object)->release();
    });
}

TVX_SAMPLE_ENTRY CSharedObjectBase* Quorix_duplicate_object_reference(CSharedObjectBase* object, int* size,
                                                                      wchar_t** message) {
    return guarded(size, message, [&] {
        return hand_out(static_cast<RemoteObject*>(expect_any(object, "Quorix_duplicate_object_reference").add_ref()));
    });
}
