// tvx-sample-server as a process: its address line, the framework behind its calls, its answers to
// bad requests and its three ways of stopping.
#include <gtest/gtest.h>
#include <grpcpp/grpcpp.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rpc/sample_connection.h"
#include "sample_framework.h"
#include "tests/samples/grpc_server_process.h"
#include "tvx_sample.grpc.pb.h"

namespace {

using tvxsample::rpc::Connection;
using tvxsample::rpc::RpcError;
using tvxtest::exited_cleanly;
using tvxtest::ServerProcess;

// The object the server's bytes for `id` rebuild in this process.
tvxsample::Ref fetch(Connection& server, std::int32_t id) { return tvxsample::Ref(tvxsample::deserialize(server.get_bytes(id))); }

const tvxsample::Field& as_field(const tvxsample::Ref& ref) {
    EXPECT_EQ(ref.p->kind(), tvxsample::Kind::Field);
    return static_cast<const tvxsample::Field&>(*ref.p);
}

// The message of the RpcError `call` throws; a failure when it throws none.
std::string refusal(const std::function<void()>& call) {
    try {
        call();
    } catch (const RpcError& e) {
        return e.what();
    }
    ADD_FAILURE() << "the call was accepted";
    return "(accepted)";
}

// A TCP connect to `address:port`; true when something accepts.
bool accepts(const char* address, int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address, &to.sin_addr);
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    close(s);
    return ok;
}

// A port nobody listens on right now: one the system hands out and takes back.
int unused_port() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &at.sin_addr);
    bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at);
    socklen_t length = sizeof at;
    getsockname(s, reinterpret_cast<sockaddr*>(&at), &length);
    close(s);
    return ntohs(at.sin_port);
}

// --- starting ------------------------------------------------------------------------------------

TEST(SampleServerStart, PrintsTheFreePortItListensOnAndOnlyOnLoopback) {
    ServerProcess server;
    ASSERT_TRUE(server.start()) << server.error();
    EXPECT_EQ(server.line(), "listening on 127.0.0.1:" + std::to_string(server.port()));
    EXPECT_GT(server.port(), 0);
    EXPECT_TRUE(accepts("127.0.0.1", server.port()));
    EXPECT_FALSE(accepts("127.0.0.2", server.port())) << "the server must listen on 127.0.0.1 only";

    auto connection = Connection::open(server.address());
    EXPECT_GT(connection->create_scoping(), 0);
    connection.reset();
    EXPECT_TRUE(exited_cleanly(server.stop()));
}

TEST(SampleServerStart, ListensOnTheGivenPort) {
    const int port = unused_port();
    ServerProcess server;
    ASSERT_TRUE(server.start({"--port", std::to_string(port)})) << server.error();
    EXPECT_EQ(server.port(), port);
    EXPECT_TRUE(accepts("127.0.0.1", port));
    EXPECT_TRUE(exited_cleanly(server.stop()));
}

TEST(SampleServerStart, RefusesBadArguments) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--port", "70000"}, {"--port", "12x"}, {"--port"}, {"--parent-pid", "-4"}, {"--verbose"}}) {
        ServerProcess server;
        ASSERT_TRUE(server.spawn(args)) << server.error();
        EXPECT_EQ(server.read_line(), "") << args[0];
        const int status = server.wait();
        ASSERT_TRUE(WIFEXITED(status)) << args[0];
        EXPECT_EQ(WEXITSTATUS(status), 2) << args[0];
        EXPECT_NE(server.stderr_text().find("bad argument '" + args[0] + "'"), std::string::npos) << server.stderr_text();
    }
}

// --- the framework behind the calls ----------------------------------------------------------------

class SampleServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        process_ = new ServerProcess;
        ASSERT_TRUE(process_->start()) << process_->error();
    }
    static void TearDownTestSuite() {
        EXPECT_TRUE(exited_cleanly(process_->stop()));
        delete process_;
        process_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(process_ != nullptr && process_->port() > 0) << "the suite's server did not start";
        connection_ = Connection::open(process_->address());
    }

    // A field on the server with `values` and, when given, a scoping of `ids`.
    std::int32_t make_field(int components, const std::vector<double>& values, const std::vector<int>& ids = {}) {
        const std::int32_t field = connection_->create_field(components, "Nodal");
        connection_->set_field_data(field, values);
        if (!ids.empty()) {
            const std::int32_t scoping = connection_->create_scoping();
            connection_->set_scoping_ids(scoping, ids);
            connection_->set_field_scoping(field, scoping);
            connection_->release(scoping);  // the field keeps it
        }
        return field;
    }

    static ServerProcess* process_;
    std::shared_ptr<Connection> connection_;
};

ServerProcess* SampleServer::process_ = nullptr;

TEST_F(SampleServer, KeepsFieldsAndScopingsAndHandsOutTheirBytes) {
    const std::int32_t field = make_field(2, {1.5, -2.25, 3e10, 4, 0.125, -6}, {7, 8, 9});
    const tvxsample::rpc::Description d = connection_->describe(field);
    EXPECT_EQ(d.kind, tvxsample::rpc::Description::Field);
    EXPECT_EQ(d.components, 2);
    EXPECT_EQ(d.entities, 3);
    EXPECT_EQ(d.location, "Nodal");

    tvxsample::Ref copy = fetch(*connection_, field);
    const tvxsample::Field& f = as_field(copy);
    EXPECT_EQ(f.components, 2);
    EXPECT_EQ(f.data, (std::vector<double>{1.5, -2.25, 3e10, 4, 0.125, -6}));
    ASSERT_NE(f.scoping_object(), nullptr);
    EXPECT_EQ(f.scoping_object()->ids, (std::vector<int>{7, 8, 9}));

    // Bytes put back make a second, equal object under a new id.
    const std::int32_t again = connection_->put_bytes(tvxsample::serialize(f));
    EXPECT_NE(again, field);
    EXPECT_EQ(connection_->get_bytes(again), connection_->get_bytes(field));

    const std::int32_t scoping = connection_->create_scoping();
    connection_->set_scoping_ids(scoping, {4, 5});
    EXPECT_EQ(connection_->describe(scoping).kind, tvxsample::rpc::Description::Scoping);
    EXPECT_EQ(connection_->describe(scoping).entities, 2);
    for (std::int32_t id : {field, again, scoping}) connection_->release(id);
}

TEST_F(SampleServer, RunsOperatorsFedByFieldsNumbersAndOtherOperators) {
    const std::int32_t field = make_field(1, {1, 2, 3}, {11, 12, 13});
    const std::int32_t scale = connection_->create_operator("scale");
    EXPECT_EQ(connection_->describe(scale).kind, tvxsample::rpc::Description::Operator);
    EXPECT_EQ(connection_->describe(scale).name, "scale");
    connection_->connect_object(scale, 0, field);
    connection_->connect_double(scale, 1, 2.5);
    connection_->run(scale);
    const std::int32_t scaled = connection_->get_output(scale, 0);
    tvxsample::Ref out = fetch(*connection_, scaled);
    EXPECT_EQ(as_field(out).data, (std::vector<double>{2.5, 5, 7.5}));
    ASSERT_NE(as_field(out).scoping_object(), nullptr);
    EXPECT_EQ(as_field(out).scoping_object()->ids, (std::vector<int>{11, 12, 13}));

    // An operator as an input is its output 0: add(scale(field) * 3, field), run on GetOutput.
    const std::int32_t triple = connection_->create_operator("scale");
    connection_->connect_object(triple, 0, scale);
    connection_->connect_int(triple, 1, 3);
    const std::int32_t add = connection_->create_operator("add");
    connection_->connect_object(add, 0, triple);
    connection_->connect_object(add, 1, field);
    const std::int32_t sum = connection_->get_output(add, 0);
    tvxsample::Ref total = fetch(*connection_, sum);
    EXPECT_EQ(as_field(total).data, (std::vector<double>{8.5, 17, 25.5}));

    // Released ids are gone; operators keep what they were fed.
    connection_->release(field);
    EXPECT_NE(refusal([&] { connection_->describe(field); }).find("no object with id " + std::to_string(field)),
              std::string::npos);
    connection_->connect_double(scale, 1, -1);
    tvxsample::Ref negated = fetch(*connection_, connection_->get_output(scale, 0));
    EXPECT_EQ(as_field(negated).data, (std::vector<double>{-1, -2, -3}));
    for (std::int32_t id : {scale, scaled, triple, add, sum}) connection_->release(id);
}

TEST_F(SampleServer, AnswersBadRequestsWithAnErrorAndStaysUp) {
    Connection& c = *connection_;
    const std::int32_t field = make_field(3, {1, 2, 3});
    const std::int32_t scoping = c.create_scoping();
    const std::int32_t op = c.create_operator("scale");
    const std::string f = std::to_string(field);
    const std::string s = std::to_string(scoping);
    const std::string o = std::to_string(op);

    struct Case {
        const char* what;
        std::function<void()> call;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"unknown id", [&] { c.set_field_data(987654, {1}); }, "SetFieldData: no object with id 987654"},
        {"zero id", [&] { c.describe(0); }, "Describe: 0 is not an object id"},
        {"negative id", [&] { c.get_bytes(-3); }, "GetBytes: -3 is not an object id"},
        {"scoping as a field", [&] { c.set_field_data(scoping, {1, 2, 3}); },
         "SetFieldData: object " + s + " is a scoping, not a field"},
        {"field as a scoping", [&] { c.set_scoping_ids(field, {1}); },
         "SetScopingIds: object " + f + " is a field, not a scoping"},
        {"scoping given as the field", [&] { c.set_field_scoping(scoping, scoping); }, "is a scoping, not a field"},
        {"field run", [&] { c.run(field); }, "Run: object " + f + " is a field, not an operator"},
        {"operator bytes", [&] { c.get_bytes(op); }, "only fields and scopings have bytes"},
        {"scoping as input", [&] { c.connect_object(op, 0, scoping); }, "an input takes a field or an operator"},
        {"negative pin", [&] { c.connect_double(op, -1, 2.0); }, "Connect: pin -1 is out of range"},
        {"pin too high", [&] { c.connect_int(op, 256, 2); }, "Connect: pin 256 is out of range"},
        {"negative output pin", [&] { c.get_output(op, -2); }, "GetOutput: pin -2 is out of range"},
        {"own input", [&] { c.connect_object(op, 0, op); }, "would make a cycle"},
        {"missing input", [&] { c.run(op); }, "Run: scale: no field on pin 0"},
        {"output without inputs", [&] { c.get_output(op, 0); }, "GetOutput: scale: no field on pin 0"},
        {"bad bytes", [&] { c.put_bytes("not bytes of any object"); }, "PutBytes: serialized object: bad header"},
        {"empty bytes", [&] { c.put_bytes(""); }, "PutBytes: serialized object: truncated"},
        {"cut bytes", [&] { c.put_bytes(c.get_bytes(field).substr(0, 20)); }, "PutBytes: serialized object:"},
        {"partial entity", [&] { c.set_field_data(field, {1, 2, 3, 4}); },
         "4 values do not make whole entities of 3 components"},
        {"too many values", [&] { c.set_field_data(field, std::vector<double>(2'000'001, 1.0)); },
         "2000001 values are too many"},
        {"too many ids", [&] { c.set_scoping_ids(scoping, std::vector<int>(2'000'001, 1)); },
         "2000001 ids are too many"},
        {"message over the limit", [&] { c.set_field_data(field, std::vector<double>(2'100'000, 1.0)); },
         "SetFieldData on the server at " + process_->address() + " failed"},
        {"no components", [&] { c.create_field(0, "Nodal"); }, "CreateField: 0 components; a field has 1 to 1024"},
        {"too many components", [&] { c.create_field(1025, "Nodal"); }, "CreateField: 1025 components"},
        {"long location", [&] { c.create_field(1, std::string(300, 'x')); }, "the location is longer than 256 bytes"},
        {"unknown operator", [&] { c.create_operator("fly"); }, "CreateOperator: no operator called 'fly'"},
        {"unknown release", [&] { c.release(555555); }, "Release: no object with id 555555"},
    };
    for (const Case& k : cases) {
        const std::string message = refusal(k.call);
        EXPECT_NE(message.find(k.expected), std::string::npos) << k.what << ": " << message;
    }

    // A cycle through two operators is refused too; the chain that exists stays usable.
    const std::int32_t second = c.create_operator("scale");
    c.connect_object(second, 0, op);
    EXPECT_NE(refusal([&] { c.connect_object(op, 0, second); }).find("would make a cycle"), std::string::npos);

    // Requests the client library never sends: a Connect without a value, an empty operator name.
    auto channel = grpc::CreateChannel(process_->address(), grpc::InsecureChannelCredentials());
    auto stub = tvxsample::proto::Framework::NewStub(channel);
    {
        grpc::ClientContext context;
        tvxsample::proto::ConnectRequest request;
        request.set_op(op);
        request.set_pin(0);
        tvxsample::proto::Empty reply;
        const grpc::Status status = stub->Connect(&context, request, &reply);
        EXPECT_EQ(status.error_code(), grpc::StatusCode::INVALID_ARGUMENT);
        EXPECT_EQ(status.error_message(), "Connect: pin 0 of scale: the request carries no value");
    }
    {
        grpc::ClientContext context;
        tvxsample::proto::CreateOperatorRequest request;
        tvxsample::proto::ObjectId reply;
        const grpc::Status status = stub->CreateOperator(&context, request, &reply);
        EXPECT_EQ(status.error_code(), grpc::StatusCode::NOT_FOUND);
        EXPECT_NE(status.error_message().find("no operator called ''"), std::string::npos);
    }

    // Still up, and the objects are as they were.
    ASSERT_TRUE(process_->running());
    tvxsample::Ref copy = fetch(c, field);
    EXPECT_EQ(as_field(copy).data, (std::vector<double>{1, 2, 3}));
    c.connect_object(op, 0, field);
    c.connect_double(op, 1, 2);
    tvxsample::Ref out = fetch(c, c.get_output(op, 0));
    EXPECT_EQ(as_field(out).data, (std::vector<double>{2, 4, 6}));
    for (std::int32_t id : {field, scoping, op, second}) c.release(id);
}

// --- stopping --------------------------------------------------------------------------------------

TEST(SampleServerStop, StopsOnTheShutdownCall) {
    ServerProcess server;
    ASSERT_TRUE(server.start()) << server.error();
    auto connection = Connection::open(server.address());
    connection->create_field(1, "Nodal");  // still held when it stops
    connection->shutdown();
    EXPECT_TRUE(exited_cleanly(server.wait()));
    EXPECT_NE(server.stderr_text().find("stopping on a Shutdown call (1 objects still held)"), std::string::npos)
        << server.stderr_text();
}

TEST(SampleServerStop, StopsOnSigtermAndSigint) {
    for (int signal : {SIGTERM, SIGINT}) {
        ServerProcess server;
        ASSERT_TRUE(server.start()) << server.error();
        ASSERT_TRUE(server.running());
        EXPECT_TRUE(exited_cleanly(server.stop(signal)));
        EXPECT_NE(server.stderr_text().find(signal == SIGTERM ? "stopping on SIGTERM" : "stopping on SIGINT"),
                  std::string::npos)
            << server.stderr_text();
    }
}

TEST(SampleServerStop, StopsWhenTheProcessThatStartedItEnds) {
    ServerProcess server;
    ASSERT_TRUE(server.start_orphan({})) << server.error();
    EXPECT_TRUE(exited_cleanly(server.wait()));
    EXPECT_NE(server.stderr_text().find("stopping on"), std::string::npos) << server.stderr_text();
}

TEST(SampleServerStop, StopsWhenTheGivenParentProcessEnds) {
    // A stand-in parent that waits on a pipe; once killed it stays a zombie until reaped below,
    // which the server must count as ended too.
    int hold[2];
    ASSERT_EQ(pipe(hold), 0);
    const pid_t parent = fork();
    ASSERT_GE(parent, 0);
    if (parent == 0) {
        close(hold[1]);
        char c;
        while (read(hold[0], &c, 1) > 0) {
        }
        _exit(0);
    }
    close(hold[0]);

    ServerProcess server;
    ASSERT_TRUE(server.start({"--parent-pid", std::to_string(parent)})) << server.error();
    ASSERT_TRUE(server.running());
    kill(parent, SIGKILL);
    EXPECT_TRUE(exited_cleanly(server.wait()));
    EXPECT_NE(server.stderr_text().find("stopping on the end of process " + std::to_string(parent)), std::string::npos)
        << server.stderr_text();
    close(hold[1]);
    waitpid(parent, nullptr, 0);
}

}  // namespace
