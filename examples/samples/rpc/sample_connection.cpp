#include "rpc/sample_connection.h"

#include <dlfcn.h>
#include <grpcpp/grpcpp.h>

#include <chrono>

#include "tvx_sample.grpc.pb.h"

namespace tvxsample::rpc {

namespace {

namespace pb = tvxsample::proto;

constexpr auto kConnectTimeout = std::chrono::seconds(5);
constexpr auto kCallTimeout = std::chrono::seconds(10);
constexpr int kMaxMessageBytes = 64 * 1024 * 1024;

class GrpcConnection final : public Connection {
public:
    GrpcConnection(std::string address, std::shared_ptr<grpc::Channel> channel)
        : address_(std::move(address)), channel_(std::move(channel)), stub_(pb::Framework::NewStub(channel_)) {}

    const std::string& address() const override { return address_; }

    std::int32_t create_field(int components, const std::string& location) override {
        pb::CreateFieldRequest request;
        request.set_components(components);
        request.set_location(location);
        pb::ObjectId reply;
        call("CreateField", &pb::Framework::Stub::CreateField, request, &reply);
        return reply.id();
    }

    void set_field_data(std::int32_t field, const std::vector<double>& values) override {
        pb::FieldData request;
        request.set_field(field);
        request.mutable_values()->Add(values.begin(), values.end());
        pb::Empty reply;
        call("SetFieldData", &pb::Framework::Stub::SetFieldData, request, &reply);
    }

    std::int32_t create_scoping() override {
        pb::ObjectId reply;
        call("CreateScoping", &pb::Framework::Stub::CreateScoping, pb::Empty(), &reply);
        return reply.id();
    }

    void set_scoping_ids(std::int32_t scoping, const std::vector<int>& ids) override {
        pb::ScopingIds request;
        request.set_scoping(scoping);
        request.mutable_ids()->Add(ids.begin(), ids.end());
        pb::Empty reply;
        call("SetScopingIds", &pb::Framework::Stub::SetScopingIds, request, &reply);
    }

    void set_field_scoping(std::int32_t field, std::int32_t scoping) override {
        pb::FieldScoping request;
        request.set_field(field);
        request.set_scoping(scoping);
        pb::Empty reply;
        call("SetFieldScoping", &pb::Framework::Stub::SetFieldScoping, request, &reply);
    }

    Description describe(std::int32_t id) override {
        pb::Description reply;
        call("Describe", &pb::Framework::Stub::Describe, object_id(id), &reply);
        Description out;
        switch (reply.kind()) {
            case pb::Description::FIELD: out.kind = Description::Field; break;
            case pb::Description::SCOPING: out.kind = Description::Scoping; break;
            case pb::Description::OPERATOR: out.kind = Description::Operator; break;
            default: out.kind = Description::Unknown; break;
        }
        out.components = reply.components();
        out.entities = reply.entities();
        out.location = reply.location();
        out.name = reply.name();
        return out;
    }

    std::string get_bytes(std::int32_t id) override {
        pb::Bytes reply;
        call("GetBytes", &pb::Framework::Stub::GetBytes, object_id(id), &reply);
        return std::move(*reply.mutable_data());
    }

    std::int32_t put_bytes(const std::string& bytes) override {
        pb::Bytes request;
        request.set_data(bytes);
        pb::ObjectId reply;
        call("PutBytes", &pb::Framework::Stub::PutBytes, request, &reply);
        return reply.id();
    }

    std::int32_t create_operator(const std::string& name) override {
        pb::CreateOperatorRequest request;
        request.set_name(name);
        pb::ObjectId reply;
        call("CreateOperator", &pb::Framework::Stub::CreateOperator, request, &reply);
        return reply.id();
    }

    void connect_object(std::int32_t op, int pin, std::int32_t object) override {
        pb::ConnectRequest request = connect_request(op, pin);
        request.set_object(object);
        connect(request);
    }

    void connect_double(std::int32_t op, int pin, double value) override {
        pb::ConnectRequest request = connect_request(op, pin);
        request.set_number(value);
        connect(request);
    }

    void connect_int(std::int32_t op, int pin, int value) override {
        pb::ConnectRequest request = connect_request(op, pin);
        request.set_integer(value);
        connect(request);
    }

    void run(std::int32_t op) override {
        pb::Empty reply;
        call("Run", &pb::Framework::Stub::Run, object_id(op), &reply);
    }

    std::int32_t get_output(std::int32_t op, int pin) override {
        pb::OutputRequest request;
        request.set_op(op);
        request.set_pin(pin);
        pb::ObjectId reply;
        call("GetOutput", &pb::Framework::Stub::GetOutput, request, &reply);
        return reply.id();
    }

    void release(std::int32_t id) override {
        pb::Empty reply;
        call("Release", &pb::Framework::Stub::Release, object_id(id), &reply);
    }

    void shutdown() override {
        pb::Empty reply;
        call("Shutdown", &pb::Framework::Stub::Shutdown, pb::Empty(), &reply);
    }

private:
    static pb::ObjectId object_id(std::int32_t id) {
        pb::ObjectId message;
        message.set_id(id);
        return message;
    }

    static pb::ConnectRequest connect_request(std::int32_t op, int pin) {
        pb::ConnectRequest request;
        request.set_op(op);
        request.set_pin(pin);
        return request;
    }

    void connect(const pb::ConnectRequest& request) {
        pb::Empty reply;
        call("Connect", &pb::Framework::Stub::Connect, request, &reply);
    }

    // One unary call with its own deadline. The server's own messages are clear enough to pass on
    // as they are; failures of the transport say which server and which call.
    template <class Request, class Reply>
    void call(const char* what,
              grpc::Status (pb::Framework::Stub::*method)(grpc::ClientContext*, const Request&, Reply*),
              const Request& request, Reply* reply) {
        grpc::ClientContext context;
        context.set_deadline(std::chrono::system_clock::now() + kCallTimeout);
        const grpc::Status status = (stub_.get()->*method)(&context, request, reply);
        if (status.ok()) return;
        switch (status.error_code()) {
            case grpc::StatusCode::UNAVAILABLE:
            case grpc::StatusCode::DEADLINE_EXCEEDED:
            case grpc::StatusCode::RESOURCE_EXHAUSTED:
            case grpc::StatusCode::UNIMPLEMENTED:
            case grpc::StatusCode::INTERNAL:
            case grpc::StatusCode::UNKNOWN:
                throw RpcError(std::string(what) + " on the server at " + address_ + " failed: " +
                               (status.error_message().empty() ? "no reason given" : status.error_message()));
            default:
                throw RpcError(status.error_message().empty() ? std::string(what) + " failed on the server"
                                                              : status.error_message());
        }
    }

    std::string address_;
    std::shared_ptr<grpc::Channel> channel_;
    std::unique_ptr<pb::Framework::Stub> stub_;
};

}  // namespace

namespace {

// gRPC keeps threads of its own once a channel has existed, running code of the module that made
// the channel. Unmapping that module at its last unload would crash the process, so a library that
// opens a connection pins itself in memory first.
bool pin_this_module() {
    Dl_info self;
    if (dladdr(reinterpret_cast<void*>(&pin_this_module), &self) == 0 || self.dli_fname == nullptr) return false;
    return dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

}  // namespace

std::shared_ptr<Connection> Connection::open(const std::string& address) {
    static const bool pinned = pin_this_module();
    (void)pinned;
    if (address.empty()) throw RpcError("no server address given");
    grpc::ChannelArguments arguments;
    arguments.SetMaxReceiveMessageSize(kMaxMessageBytes);
    arguments.SetMaxSendMessageSize(kMaxMessageBytes);
    auto channel = grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), arguments);
    if (!channel || !channel->WaitForConnected(std::chrono::system_clock::now() + kConnectTimeout))
        throw RpcError("cannot reach the sample server at " + address + " (no connection within " +
                       std::to_string(kConnectTimeout.count()) + " s)");
    return std::make_shared<GrpcConnection>(address, std::move(channel));
}

}  // namespace tvxsample::rpc
