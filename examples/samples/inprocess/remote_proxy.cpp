#include "remote_proxy.h"

#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

// The connection interface is plain C++; only opening one needs the gRPC implementation.
#include "rpc/sample_connection.h"

namespace tvxsample::inprocess {
namespace {

std::shared_ptr<rpc::Connection> open_connection(const std::string& who, const std::string& address) {
#if defined(TVX_SAMPLE_WITH_GRPC)
    (void)who;
    return rpc::Connection::open(address);
#else
    (void)address;
    throw std::runtime_error(who + ": this sample library was built without gRPC, so it cannot reach the server");
#endif
}

// Stands for operator `id` on the server at `address`. The server operator belongs to whoever made
// it there; this object only releases the server objects it made itself (uploaded fields).
class RemoteOperator final : public Operator {
public:
    RemoteOperator(std::string address, std::int32_t id)
        : Operator("server operator " + std::to_string(id) + " at " + address), address_(std::move(address)), id_(id) {}

    ~RemoteOperator() override {
        for (const auto& upload : uploads_) release_quietly(upload.second);
    }

    // A local field goes to the server as bytes and is connected there under its new id.
    void connect_field(int pin, Field* field) override {
        rpc::Connection& server = connection();
        const std::int32_t uploaded = server.put_bytes(serialize(*field));
        try {
            server.connect_object(id_, pin, uploaded);
        } catch (...) {
            release_quietly(uploaded);
            throw;
        }
        forget_upload(pin);
        uploads_[pin] = uploaded;
    }

    void connect_double(int pin, double value) override {
        connection().connect_double(id_, pin, value);
        forget_upload(pin);
    }

    void connect_int(int pin, int value) override {
        connection().connect_int(id_, pin, value);
        forget_upload(pin);
    }

    void connect_data_sources(int, DataSources*) override {
        throw std::runtime_error(name + ": data sources cannot be sent to the server");
    }

    // Only another operator of the same server can feed a server operator: the server connects
    // the two by id. A local operator's output would have to be computed first; connect that
    // field instead.
    void connect_operator(int pin, Operator* upstream) override {
        auto* other = dynamic_cast<RemoteOperator*>(upstream);
        if (other == nullptr || other->address_ != address_)
            throw std::runtime_error(name + ": only an operator of the same server can be its input; connect a field instead");
        connection().connect_object(id_, pin, other->id_);
        forget_upload(pin);
    }

    void run() override {
        connection().run(id_);
        ran_ = true;
    }

    // Runs on the server when an input changed since the last run, then brings output `pin` back
    // as a local field; the server's temporary id for that output is released at once.
    Field* output_field(int pin) override {
        rpc::Connection& server = connection();
        if (!ran_) run();
        const std::int32_t output = server.get_output(id_, pin);
        Object* object = nullptr;
        {
            ServerId temporary{this, output};
            object = deserialize(server.get_bytes(output));
        }
        if (object->kind() != Kind::Field) {
            object->release();
            throw std::runtime_error(name + ": output pin " + std::to_string(pin) + " is not a field");
        }
        return static_cast<Field*>(object);
    }

    Operator* output_operator(int) override {
        throw std::runtime_error(name + ": the outputs of a server operator can be read as fields only");
    }

private:
    struct ServerId {
        RemoteOperator* owner;
        std::int32_t id;
        ~ServerId() { owner->release_quietly(id); }
    };

    rpc::Connection& connection() {
        if (!connection_) connection_ = open_connection(name, address_);
        return *connection_;
    }

    // Pin `pin` was connected anew: the field uploaded for it before, if any, is no longer needed.
    void forget_upload(int pin) {
        ran_ = false;
        auto it = uploads_.find(pin);
        if (it == uploads_.end()) return;
        release_quietly(it->second);
        uploads_.erase(it);
    }

    // Releasing is clean-up: a server that has gone away leaves nothing to release.
    void release_quietly(std::int32_t id) noexcept {
        if (!connection_) return;
        try {
            connection_->release(id);
        } catch (...) {
        }
    }

    const std::string address_;
    const std::int32_t id_;
    std::shared_ptr<rpc::Connection> connection_;
    std::map<int, std::int32_t> uploads_;  // pin -> id of the field uploaded for it
};

// "remote_operator_instantiate": pin 0 the operator's id on its server, pin 4 data sources with
// the server's address under "grpc"; output 0 the local operator that stands for it.
class RemoteOperatorInstantiate final : public Operator {
public:
    RemoteOperatorInstantiate() : Operator(kRemoteOperatorInstantiate) {}

    void run() override {
        const double id = input_double(0);
        if (id != std::floor(id) || id < 0 || id > INT32_MAX)
            throw std::runtime_error(name + ": pin 0 must hold the operator's id on its server, not " + std::to_string(id));
        const Input* in = input(4);
        if (in == nullptr || in->object.p == nullptr || in->object.p->kind() != Kind::DataSources)
            throw std::runtime_error(name + ": pin 4 must hold the data sources with the server's address");
        const auto& paths = static_cast<const DataSources*>(in->object.p)->paths;
        const auto address = paths.find(kServerProtocol);
        if (address == paths.end()) {
            for (const auto& [key, path] : paths)
                if (!key.empty())
                    throw std::runtime_error(name + ": the protocol \"" + key + "\" is not supported, only \"" + kServerProtocol + "\"");
            throw std::runtime_error(name + ": the data sources on pin 4 hold no server address under \"" + kServerProtocol + "\"");
        }
        set_output(0, new RemoteOperator(address->second, static_cast<std::int32_t>(id)));
        ran_ = true;
    }
};

}  // namespace

Operator* make_remote_operator_instantiate() { return new RemoteOperatorInstantiate; }

}  // namespace tvxsample::inprocess
