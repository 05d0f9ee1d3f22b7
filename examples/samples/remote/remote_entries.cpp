// tvx_sample_remote: the implementation library loaded as "remote", a client of tvx-sample-server.
//
// Every object handed out is a RemoteObject: a client (a connection with its address), a field, a
// scoping or an operator living on the server under an id, or a stream of serialized bytes
// fetched from it. Objects are reference counted; the last release of a server object releases it
// on the server too (framework/shared_entries.cpp defines the releasing entries both samples share).
// Creation entries take the client first (the remote forms); the others take the object and reach
// its server through the connection it carries. The server's refusals come back as it worded them.
//
// Text: a client's address and protocol name are copies the caller owns and hands back through
// Quorix_deleteString; a stream's bytes are the stream's own.
#define TVX_IMPLEMENTATION_REMOTE
#include "tvx/implementation.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "entry_support.h"
#include "rpc/sample_connection.h"
#include "sample_framework.h"

using tvxsample::check_count;
using tvxsample::expect;
using tvxsample::expect_any;
using tvxsample::handed_out;
using tvxsample::Kind;
using tvxsample::new_text;
using tvxsample::rpc::Connection;

namespace {

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
    std::string bytes;      // streams: the serialized object
};

// Every entry's guard: the connection's failures (the server's refusals, an unreachable server)
// reach the client as they are worded.
template <class Work>
auto guarded(const char* entry, int* size, wchar_t** message, Work&& work) {
    return tvxsample::guarded<tvxsample::rpc::RpcError>(entry, size, message, std::forward<Work>(work));
}

// The object behind `handle`, checked to be of `kind`; `role` names it in messages.
RemoteObject& expect_remote(const void* handle, Kind kind, const char* role) {
    return expect<RemoteObject>(handle, kind, role);
}

// Two objects meet in one call on the server: they must live on the same one.
void same_server(const RemoteObject& a, const RemoteObject& b) {
    if (a.connection->address() != b.connection->address())
        throw std::runtime_error("the objects live on different servers (" + a.connection->address() + " and " +
                                 b.connection->address() + ")");
}

CSharedObjectBase* new_client(std::shared_ptr<Connection> connection) {
    return handed_out(new RemoteObject(Kind::Client, std::move(connection)));
}

CSharedObjectBase* new_server_object(Kind kind, const std::shared_ptr<Connection>& connection, std::int32_t id) {
    return handed_out(new RemoteObject(kind, connection, id));
}

}  // namespace

// --- clients ------------------------------------------------------------------------------------

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Client_new_full_address(const char* address, int* error_size,
                                                                    wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] {
        if (address == nullptr || *address == '\0') throw std::runtime_error("no address given");
        return new_client(Connection::open(address));
    });
}

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Client_new(const char* ip, const char* port, int* error_size,
                                                       wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] {
        if (ip == nullptr || *ip == '\0' || port == nullptr || *port == '\0')
            throw std::runtime_error("an address and a port are needed");
        return new_client(Connection::open(std::string(ip) + ":" + port));
    });
}

// A copy of the server's address, the caller's to hand back.
TVX_IMPLEMENTATION_ENTRY char* Client_get_full_address(CSharedObjectBase* client, int* error_size,
                                                       wchar_t** error_message) {
    return guarded(__func__, error_size, error_message,
                   [&] { return new_text(expect_remote(client, Kind::Client, "client").connection->address()); });
}

// A copy of the protocol name, the caller's to hand back.
TVX_IMPLEMENTATION_ENTRY char* Client_get_protocol_name(CSharedObjectBase* client, int* error_size,
                                                        wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] {
        expect_remote(client, Kind::Client, "client");
        return new_text(tvxsample::kServerProtocol);
    });
}

// The client of the object's server: a new client object on the same connection.
TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Quorix_get_client(CSharedObjectBase* obj, int* error_size,
                                                              wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] {
        auto& o = static_cast<RemoteObject&>(expect_any(obj));
        if (o.kind() == Kind::Client) return handed_out(o.add_ref());
        return new_client(o.connection);
    });
}

// --- creation on the server ---------------------------------------------------------------------

// `entities` is the number the caller expects; the sample's fields grow as data is set.
TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Field_new(CSharedObjectBase* client, int components, int entities,
                                                      const char* location, int* error_size, wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] {
        RemoteObject& c = expect_remote(client, Kind::Client, "client");
        if (entities < 0) throw std::runtime_error("a negative number of entities (" + std::to_string(entities) + ")");
        const std::int32_t id = c.connection->create_field(components, location != nullptr ? location : "");
        return new_server_object(Kind::Field, c.connection, id);
    });
}

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Scoping_new(CSharedObjectBase* client, int* error_size, wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] {
        RemoteObject& c = expect_remote(client, Kind::Client, "client");
        return new_server_object(Kind::Scoping, c.connection, c.connection->create_scoping());
    });
}

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Operator_new(const char* name, CSharedObjectBase* client, int* error_size,
                                                         wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] {
        RemoteObject& c = expect_remote(client, Kind::Client, "client");
        if (name == nullptr) throw std::runtime_error("no operator name given");
        return new_server_object(Kind::Operator, c.connection, c.connection->create_operator(name));
    });
}

// --- fields and scopings ------------------------------------------------------------------------

TVX_IMPLEMENTATION_ENTRY void CSField_SetData(CSharedObjectBase* field, int count, double* values, int* error_size,
                                              wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] {
        RemoteObject& f = expect_remote(field, Kind::Field, "field");
        check_count(count, values, "values");
        f.connection->set_field_data(f.id, std::vector<double>(values, values + count));
    });
}

TVX_IMPLEMENTATION_ENTRY int CSField_GetNumberOfComponents(CSharedObjectBase* field, int* error_size,
                                                           wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] {
        RemoteObject& f = expect_remote(field, Kind::Field, "field");
        return f.connection->describe(f.id).components;
    });
}

TVX_IMPLEMENTATION_ENTRY void CSField_SetCScoping(CSharedObjectBase* field, CSharedObjectBase* scoping, int* error_size,
                                                  wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] {
        RemoteObject& f = expect_remote(field, Kind::Field, "field");
        RemoteObject& s = expect_remote(scoping, Kind::Scoping, "scoping");
        same_server(f, s);
        f.connection->set_field_scoping(f.id, s.id);
    });
}

TVX_IMPLEMENTATION_ENTRY void Scoping_SetIds(CSharedObjectBase* scoping, const int* ids, int count, int* error_size,
                                             wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] {
        RemoteObject& s = expect_remote(scoping, Kind::Scoping, "scoping");
        check_count(count, ids, "ids");
        s.connection->set_scoping_ids(s.id, std::vector<int>(ids, ids + count));
    });
}

TVX_IMPLEMENTATION_ENTRY int Scoping_GetSize(CSharedObjectBase* obj, int* error_size, wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] {
        RemoteObject& s = expect_remote(obj, Kind::Scoping, "scoping");
        return s.connection->describe(s.id).entities;
    });
}

// --- operators ----------------------------------------------------------------------------------

TVX_IMPLEMENTATION_ENTRY void Operator_connect_Field(CSharedObjectBase* op, int pin, CSharedObjectBase* value,
                                                     int* error_size, wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] {
        RemoteObject& o = expect_remote(op, Kind::Operator, "operator");
        RemoteObject& f = expect_remote(value, Kind::Field, "field");
        same_server(o, f);
        o.connection->connect_object(o.id, pin, f.id);
    });
}

TVX_IMPLEMENTATION_ENTRY void Operator_connect_Operator_as_input(CSharedObjectBase* op, int pin, CSharedObjectBase* value,
                                                                 int* error_size, wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] {
        RemoteObject& o = expect_remote(op, Kind::Operator, "operator");
        RemoteObject& u = expect_remote(value, Kind::Operator, "input operator");
        same_server(o, u);
        o.connection->connect_object(o.id, pin, u.id);
    });
}

TVX_IMPLEMENTATION_ENTRY void Operator_connect_double(CSharedObjectBase* op, int pin, double value, int* error_size,
                                                      wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] {
        RemoteObject& o = expect_remote(op, Kind::Operator, "operator");
        o.connection->connect_double(o.id, pin, value);
    });
}

TVX_IMPLEMENTATION_ENTRY void Operator_connect_int(CSharedObjectBase* op, int pin, int value, int* error_size,
                                                   wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] {
        RemoteObject& o = expect_remote(op, Kind::Operator, "operator");
        o.connection->connect_int(o.id, pin, value);
    });
}

TVX_IMPLEMENTATION_ENTRY void Operator_run(CSharedObjectBase* op, int* error_size, wchar_t** error_message) {
    guarded(__func__, error_size, error_message, [&] {
        RemoteObject& o = expect_remote(op, Kind::Operator, "operator");
        o.connection->run(o.id);
    });
}

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Operator_getoutput_Field(CSharedObjectBase* op, int pin, int* error_size,
                                                                     wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] {
        RemoteObject& o = expect_remote(op, Kind::Operator, "operator");
        return new_server_object(Kind::Field, o.connection, o.connection->get_output(o.id, pin));
    });
}

TVX_IMPLEMENTATION_ENTRY int Operator_get_id_for_client(CSharedObjectBase* op, int* error_size, wchar_t** error_message) {
    return guarded(__func__, error_size, error_message,
                   [&] { return static_cast<int>(expect_remote(op, Kind::Operator, "operator").id); });
}

// --- serialization: the server's bytes, fetched into a stream -----------------------------------

TVX_IMPLEMENTATION_ENTRY CSharedObjectBase* Quorix_serialize(CSharedObjectBase* obj, int* error_size,
                                                             wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] {
        auto& o = static_cast<RemoteObject&>(expect_any(obj));
        if (o.kind() != Kind::Field && o.kind() != Kind::Scoping)
            throw std::runtime_error(std::string("the object is ") + tvxsample::kind_name(o.kind()) +
                                     "; only fields and scopings are serialized");
        auto* stream = new RemoteObject(Kind::Stream, o.connection);
        tvxsample::Ref guard(stream);  // released if the fetch fails
        stream->bytes = o.connection->get_bytes(o.id);
        guard.p = nullptr;
        return handed_out(stream);
    });
}

// The stream's bytes and their count; the pointer is into the stream.
TVX_IMPLEMENTATION_ENTRY const char* SerializationStream_getOutputString(CSharedObjectBase* stream, size_t* length,
                                                                         int* error_size, wchar_t** error_message) {
    return guarded(__func__, error_size, error_message, [&] {
        const RemoteObject& s = expect_remote(stream, Kind::Stream, "stream");
        if (length == nullptr) throw std::runtime_error("the length is null");
        *length = s.bytes.size();
        return s.bytes.data();
    });
}
