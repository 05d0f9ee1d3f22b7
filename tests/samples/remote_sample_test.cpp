// tvx_sample_remote loaded through TVXClientAPI as "remote", against a tvx-sample-server of its own:
// objects made on the server through the _on_client entries, their bytes fetched back, server
// operators run, kinds checked, and server objects released with their last reference.
#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <string>
#include <vector>

#include "TVXClientAPI.h"
#include "rpc/sample_connection.h"
#include "sample_framework.h"
#include "tests/samples/grpc_server_process.h"
#include "tests/support/test_support.h"

namespace {

using tvxtest::ErrorPair;
using tvxtest::exited_cleanly;
using tvxtest::ServerProcess;

// A handle released with Quorix_delete_shared_object when it goes.
struct HandleDeleter {
    void operator()(TvxObject* h) const {
        ErrorPair e;
        Quorix_delete_shared_object(h, &e.size, &e.message);
        EXPECT_EQ(e.size, 0) << e.str();
    }
};
using Handle = std::unique_ptr<TvxObject, HandleDeleter>;

class RemoteSample : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new ServerProcess;
        ASSERT_TRUE(server_->start()) << server_->error();
    }
    static void TearDownTestSuite() {
        // Every test released what it made: the server holds nothing when it stops.
        EXPECT_TRUE(exited_cleanly(server_->stop()));
        EXPECT_NE(server_->stderr_text().find("(0 objects still held)"), std::string::npos) << server_->stderr_text();
        delete server_;
        server_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(server_ != nullptr && server_->port() > 0) << "the suite's server did not start";
        TVX_LOAD(tvxtest::double_path("tvx_sample_remote"), "remote", 1);  // lenient: the sample exports a few entries
        client_ = take(Client_new_full_address(server_->address().c_str(), &e_.size, &e_.message));
        ASSERT_NE(client_, nullptr);
    }
    void TearDown() override {
        client_.reset();
        e_.clear();
        QuorixCore_UnloadAPI("remote", &e_.size, &e_.message);
        EXPECT_EQ(e_.size, 0) << e_.str();
    }

    // Takes a returned handle, failing the test with the message when the call failed.
    Handle take(TvxObject* h) {
        EXPECT_EQ(e_.size, 0) << e_.str();
        EXPECT_NE(h, nullptr);
        e_.clear();
        return Handle(h);
    }
    // Checks the last call succeeded.
    void ok() {
        EXPECT_EQ(e_.size, 0) << e_.str();
        e_.clear();
    }
    // The last call's message (and clears it); empty when it succeeded.
    std::string failure() {
        std::string text = e_.size != 0 ? e_.str() : std::string();
        e_.clear();
        return text;
    }

    // A char* result the last call returned, as a string; the text itself goes back to the library.
    std::string owned_text(char* text) {
        ok();
        EXPECT_NE(text, nullptr);
        const std::string copy = text != nullptr ? text : "(null)";
        Quorix_deleteString_for_object(client_.get(), text, &e_.size, &e_.message);
        ok();
        return copy;
    }

    // A server field of `components` with `values` and a scoping of `ids`.
    Handle server_field(int components, std::vector<double> values, std::vector<int> ids) {
        Handle field = take(Field_new_on_client(client_.get(), components, static_cast<int>(ids.size()), "Nodal",
                                                &e_.size, &e_.message));
        CSField_SetData(field.get(), static_cast<int>(values.size()), values.data(), &e_.size, &e_.message);
        ok();
        Handle scoping = take(Scoping_new_on_client(client_.get(), &e_.size, &e_.message));
        Scoping_SetIds(scoping.get(), ids.data(), static_cast<int>(ids.size()), &e_.size, &e_.message);
        ok();
        CSField_SetCScoping(field.get(), scoping.get(), &e_.size, &e_.message);
        ok();
        return field;
    }

    // The object the serialized form of `object` rebuilds, read the way TVXClientAPI reads it.
    tvxsample::Ref serialized(TvxObject* object) {
        Handle stream = take(Quorix_serialize(object, &e_.size, &e_.message));
        if (!stream) return {};
        std::size_t length = 0;
        const char* bytes = SerializationStream_getOutputString(stream.get(), &length, &e_.size, &e_.message);
        ok();
        EXPECT_NE(bytes, nullptr);
        if (bytes == nullptr) return {};
        return tvxsample::Ref(tvxsample::deserialize(std::string(bytes, length)));
    }

    static const tvxsample::Field* field_of(const tvxsample::Ref& ref) {
        if (ref.p == nullptr || ref.p->kind() != tvxsample::Kind::Field) return nullptr;
        return static_cast<const tvxsample::Field*>(ref.p);
    }

    static ServerProcess* server_;
    ErrorPair e_;
    Handle client_;
};

ServerProcess* RemoteSample::server_ = nullptr;

TEST_F(RemoteSample, ClientKnowsItsAddressAndProtocol) {
    EXPECT_EQ(owned_text(Client_get_full_address(client_.get(), &e_.size, &e_.message)), server_->address());
    EXPECT_EQ(owned_text(Client_get_protocol_name(client_.get(), &e_.size, &e_.message)), "grpc");

    // The client of a server object is a client of the same server.
    Handle op = take(Operator_new_on_client("scale", client_.get(), &e_.size, &e_.message));
    Handle its_client = take(Quorix_get_client(op.get(), &e_.size, &e_.message));
    EXPECT_EQ(owned_text(Client_get_full_address(its_client.get(), &e_.size, &e_.message)), server_->address());
}

// A char* result is a copy the caller owns and hands back to the library that made it; the library's
// own text (a stream's bytes) stays where it is.
TEST_F(RemoteSample, TextsTheCallerOwnsAreCopiesHandedBackThroughTheClient) {
    struct Text {
        const char* entry;
        char* (*get)(TvxObject*, int*, wchar_t**);
        std::string expected;
    };
    for (const Text& t : {Text{"Client_get_full_address", Client_get_full_address, server_->address()},
                          Text{"Client_get_protocol_name", Client_get_protocol_name, "grpc"}}) {
        SCOPED_TRACE(t.entry);
        char* first = t.get(client_.get(), &e_.size, &e_.message);
        ok();
        char* second = t.get(client_.get(), &e_.size, &e_.message);
        ok();
        ASSERT_NE(first, nullptr);
        ASSERT_NE(second, nullptr);
        ASSERT_NE(first, second) << "each call hands out a copy of its own";
        EXPECT_EQ(std::string(first), t.expected);
        first[0] = '#';  // the caller's to change: neither the other copy nor the client sees it
        EXPECT_EQ(std::string(second), t.expected);
        EXPECT_EQ(owned_text(t.get(client_.get(), &e_.size, &e_.message)), t.expected);
        Quorix_deleteString_for_object(client_.get(), first, &e_.size, &e_.message);
        ok();
        Quorix_deleteString_for_object(client_.get(), second, &e_.size, &e_.message);
        ok();

        // A copy outlives the client it came from.
        Handle other = take(Client_new_full_address(server_->address().c_str(), &e_.size, &e_.message));
        char* kept = t.get(other.get(), &e_.size, &e_.message);
        ok();
        other.reset();
        ASSERT_NE(kept, nullptr);
        EXPECT_EQ(std::string(kept), t.expected);
        Quorix_deleteString_for_object(client_.get(), kept, &e_.size, &e_.message);
        ok();
    }
    // Nothing to hand back is no failure, with or without a handle (the remote library is the
    // default one when it is the only one loaded).
    Quorix_deleteString_for_object(client_.get(), nullptr, &e_.size, &e_.message);
    ok();
    Quorix_deleteString(nullptr, &e_.size, &e_.message);
    ok();

    // A stream's bytes are the stream's: the same bytes at every call, never handed back.
    Handle field = server_field(1, {1, 2}, {3, 4});
    Handle stream = take(Quorix_serialize(field.get(), &e_.size, &e_.message));
    std::size_t length = 0, again = 0;
    const char* bytes = SerializationStream_getOutputString(stream.get(), &length, &e_.size, &e_.message);
    ok();
    EXPECT_EQ(SerializationStream_getOutputString(stream.get(), &again, &e_.size, &e_.message), bytes);
    ok();
    EXPECT_EQ(again, length);
}

TEST_F(RemoteSample, NoServerMeansNoClient) {
    ServerProcess gone;
    ASSERT_TRUE(gone.start()) << gone.error();
    const std::string address = gone.address();
    ASSERT_TRUE(exited_cleanly(gone.stop()));
    EXPECT_EQ(Client_new_full_address(address.c_str(), &e_.size, &e_.message), nullptr);
    EXPECT_EQ(failure(), "cannot reach the sample server at " + address + " (no connection within 5 s)");
    EXPECT_EQ(Client_new_full_address("", &e_.size, &e_.message), nullptr);
    EXPECT_EQ(failure(), "Client_new_full_address: no address given");
}

TEST_F(RemoteSample, ServerFieldSerializesToItsValuesAndIds) {
    const std::vector<double> values{1.5, -2.25, 3e10, 4, 0.125, -6};
    Handle field = server_field(2, values, {11, 12, 13});
    EXPECT_EQ(CSField_GetNumberOfComponents(field.get(), &e_.size, &e_.message), 2);
    ok();

    tvxsample::Ref copy = serialized(field.get());
    const tvxsample::Field* f = field_of(copy);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->components, 2);
    EXPECT_EQ(f->location, "Nodal");
    EXPECT_EQ(f->data, values);
    ASSERT_NE(f->scoping_object(), nullptr);
    EXPECT_EQ(f->scoping_object()->ids, (std::vector<int>{11, 12, 13}));

    // A scoping on its own has a size and bytes too.
    Handle scoping = take(Scoping_new_on_client(client_.get(), &e_.size, &e_.message));
    const std::vector<int> ids{5, 3, 1, 9};
    Scoping_SetIds(scoping.get(), ids.data(), 4, &e_.size, &e_.message);
    ok();
    EXPECT_EQ(Scoping_GetSize(scoping.get(), &e_.size, &e_.message), 4);
    ok();
    tvxsample::Ref s = serialized(scoping.get());
    ASSERT_NE(s.p, nullptr);
    ASSERT_EQ(s.p->kind(), tvxsample::Kind::Scoping);
    EXPECT_EQ(static_cast<tvxsample::Scoping*>(s.p)->ids, ids);
}

TEST_F(RemoteSample, ServerOperatorsRunAndTheirOutputIsCopiedBack) {
    Handle field = server_field(1, {1, 2, 3}, {11, 12, 13});
    Handle scale = take(Operator_new_on_client("scale", client_.get(), &e_.size, &e_.message));
    Operator_connect_Field(scale.get(), 0, field.get(), &e_.size, &e_.message);
    ok();
    Operator_connect_double(scale.get(), 1, 2.0, &e_.size, &e_.message);
    ok();
    Operator_run(scale.get(), &e_.size, &e_.message);
    ok();
    EXPECT_GT(Operator_get_id_for_client(scale.get(), &e_.size, &e_.message), 0);
    ok();

    Handle doubled = take(Operator_getoutput_Field(scale.get(), 0, &e_.size, &e_.message));
    tvxsample::Ref copy = serialized(doubled.get());
    const tvxsample::Field* f = field_of(copy);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->data, (std::vector<double>{2, 4, 6}));
    ASSERT_NE(f->scoping_object(), nullptr);
    EXPECT_EQ(f->scoping_object()->ids, (std::vector<int>{11, 12, 13}));

    // Fed by the first operator and an integer factor: (x * 2) * -3.
    Handle chained = take(Operator_new_on_client("scale", client_.get(), &e_.size, &e_.message));
    Operator_connect_Operator_as_input(chained.get(), 0, scale.get(), &e_.size, &e_.message);
    ok();
    Operator_connect_int(chained.get(), 1, -3, &e_.size, &e_.message);
    ok();
    Handle out = take(Operator_getoutput_Field(chained.get(), 0, &e_.size, &e_.message));
    tvxsample::Ref chained_copy = serialized(out.get());
    ASSERT_NE(field_of(chained_copy), nullptr);
    EXPECT_EQ(field_of(chained_copy)->data, (std::vector<double>{-6, -12, -18}));
}

TEST_F(RemoteSample, WrongKindsNullsAndRefusedRequestsAreReported) {
    Handle field = server_field(1, {1, 2}, {1, 2});
    Handle scoping = take(Scoping_new_on_client(client_.get(), &e_.size, &e_.message));
    Handle op = take(Operator_new_on_client("scale", client_.get(), &e_.size, &e_.message));
    double v[] = {1, 2};

    CSField_SetData(scoping.get(), 2, v, &e_.size, &e_.message);
    EXPECT_EQ(failure(), "CSField_SetData: the field is a scoping, not a field");
    Operator_run(field.get(), &e_.size, &e_.message);
    EXPECT_EQ(failure(), "Operator_run: the operator is a field, not an operator");
    Operator_connect_Field(op.get(), 0, scoping.get(), &e_.size, &e_.message);
    EXPECT_EQ(failure(), "Operator_connect_Field: the field is a scoping, not a field");
    Operator_connect_Operator_as_input(op.get(), 0, field.get(), &e_.size, &e_.message);
    EXPECT_EQ(failure(), "Operator_connect_Operator_as_input: the input operator is a field, not an operator");
    CSField_SetCScoping(field.get(), op.get(), &e_.size, &e_.message);
    EXPECT_EQ(failure(), "CSField_SetCScoping: the scoping is an operator, not a scoping");
    EXPECT_EQ(Client_get_full_address(field.get(), &e_.size, &e_.message), nullptr);
    EXPECT_EQ(failure(), "Client_get_full_address: the client is a field, not a client");
    EXPECT_EQ(Scoping_GetSize(op.get(), &e_.size, &e_.message), 0);
    EXPECT_EQ(failure(), "Scoping_GetSize: the scoping is an operator, not a scoping");
    EXPECT_EQ(Field_new_on_client(field.get(), 1, 1, "Nodal", &e_.size, &e_.message), nullptr);
    EXPECT_EQ(failure(), "Field_new: the client is a field, not a client");
    EXPECT_EQ(Quorix_serialize(op.get(), &e_.size, &e_.message), nullptr);
    EXPECT_EQ(failure(), "Quorix_serialize: the object is an operator; only fields and scopings are serialized");
    std::size_t length = 0;
    EXPECT_EQ(SerializationStream_getOutputString(field.get(), &length, &e_.size, &e_.message), nullptr);
    EXPECT_EQ(failure(), "SerializationStream_getOutputString: the stream is a field, not a serialization stream");

    // Null objects, and counts that make no sense.
    Operator_connect_Field(op.get(), 0, nullptr, &e_.size, &e_.message);
    EXPECT_EQ(failure(), "Operator_connect_Field: the field is null");
    EXPECT_EQ(Operator_new_on_client("scale", nullptr, &e_.size, &e_.message), nullptr);
    EXPECT_EQ(failure(), "Operator_new: the client is null");
    CSField_SetData(field.get(), -1, v, &e_.size, &e_.message);
    EXPECT_EQ(failure(), "CSField_SetData: a negative number of values (-1)");
    CSField_SetData(field.get(), 2, nullptr, &e_.size, &e_.message);
    EXPECT_EQ(failure(), "CSField_SetData: the values are null");

    // The server's refusals come back as they were worded there.
    EXPECT_EQ(Operator_new_on_client("fly", client_.get(), &e_.size, &e_.message), nullptr);
    EXPECT_EQ(failure(), "CreateOperator: no operator called 'fly' (this server has \"scale\" and \"add\")");
    Operator_connect_double(op.get(), -1, 2.0, &e_.size, &e_.message);
    EXPECT_EQ(failure(), "Connect: pin -1 is out of range (0 to 255)");
    EXPECT_EQ(Field_new_on_client(client_.get(), 0, 3, "Nodal", &e_.size, &e_.message), nullptr);
    EXPECT_EQ(failure(), "CreateField: 0 components; a field has 1 to 1024");
    Operator_run(op.get(), &e_.size, &e_.message);
    EXPECT_EQ(failure(), "Run: scale: no field on pin 0");

    // Nothing above broke the objects.
    Operator_connect_Field(op.get(), 0, field.get(), &e_.size, &e_.message);
    ok();
    Operator_connect_double(op.get(), 1, 10.0, &e_.size, &e_.message);
    ok();
    Handle out = take(Operator_getoutput_Field(op.get(), 0, &e_.size, &e_.message));
    tvxsample::Ref copy = serialized(out.get());
    ASSERT_NE(field_of(copy), nullptr);
    EXPECT_EQ(field_of(copy)->data, (std::vector<double>{10, 20}));
}

TEST_F(RemoteSample, TheLastReferenceReleasesTheServerObject) {
    auto server = tvxsample::rpc::Connection::open(server_->address());
    TvxObject* op = Operator_new_on_client("add", client_.get(), &e_.size, &e_.message);
    ok();
    ASSERT_NE(op, nullptr);
    const int id = Operator_get_id_for_client(op, &e_.size, &e_.message);
    ok();
    EXPECT_EQ(server->describe(id).name, "add");

    Handle copy = take(Quorix_duplicate_object_reference(op, &e_.size, &e_.message));
    EXPECT_EQ(Operator_get_id_for_client(copy.get(), &e_.size, &e_.message), id);
    ok();
    Quorix_delete_shared_object(op, &e_.size, &e_.message);
    ok();
    EXPECT_EQ(server->describe(id).name, "add") << "released while a reference remained";
    copy.reset();
    EXPECT_THROW(server->describe(id), tvxsample::rpc::RpcError);
}

}  // namespace
