// The in-process sample implementation library, loaded through TVXClientAPI as "common": fields,
// scopings, operators, serialization and the proxy operator for server operators, on real values.
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "tests/support/test_support.h"
#if defined(TVX_SAMPLE_TEST_WITH_SERVER)
#  include "tests/samples/grpc_server_process.h"
#endif

namespace {

using tvxtest::ErrorPair;
using Values = std::vector<double>;
using Ids = std::vector<int>;

// Calls `f` with `args` and the error pair, expecting success; returns its result.
template <class F, class... A>
auto ok(F f, A... args) {
    ErrorPair e;
    if constexpr (std::is_void_v<decltype(f(args..., nullptr, nullptr))>) {
        f(args..., &e.size, &e.message);
        EXPECT_EQ(e.size, 0) << e.str();
    } else {
        auto r = f(args..., &e.size, &e.message);
        EXPECT_EQ(e.size, 0) << e.str();
        return r;
    }
}

// Owns a handle and releases it, expecting the release to succeed.
struct Release {
    void operator()(TvxObject* h) const { ok(Quorix_delete_shared_object, h); }
};
using Handle = std::unique_ptr<TvxObject, Release>;

// Calls `f` expecting a failure; returns the message (and releases a handle returned regardless).
template <class F, class... A>
std::string failure(F f, A... args) {
    ErrorPair e;
    if constexpr (std::is_same_v<decltype(f(args..., nullptr, nullptr)), TvxObject*>) {
        Handle result(f(args..., &e.size, &e.message));
        EXPECT_EQ(result.get(), nullptr);
    } else {
        f(args..., &e.size, &e.message);
    }
    EXPECT_NE(e.size, 0);
    return e.str();
}

template <class T>
std::vector<T> array(const T* p, const int& n) {  // n by reference: read after p is computed
    return p != nullptr && n > 0 ? std::vector<T>(p, p + n) : std::vector<T>();
}
bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

Handle field(int components, Values values, const char* location = "Nodal") {
    Handle f(ok(Field_new, components, static_cast<int>(values.size()) / components, location));
    ok(CSField_SetData, f.get(), static_cast<int>(values.size()), values.data());
    return f;
}
Handle scoping(Ids ids) {
    Handle s(ok(Scoping_new));
    ok(Scoping_SetIds, s.get(), static_cast<const int*>(ids.data()), static_cast<int>(ids.size()));
    return s;
}
Values data(TvxObject* f) {
    int n = -1;
    return array<double>(ok(CSField_GetData, f, &n), n);
}
Ids ids(TvxObject* f) {
    int n = -1;
    return array<int>(ok(CSField_GetScoping, f, &n), n);
}
std::string location(TvxObject* f) {
    const char* text = ok(CSField_GetLocation, f);
    return text != nullptr ? text : "(none)";
}
Handle op(const char* name) { return Handle(ok(Operator_new, name)); }
Handle output(TvxObject* o) { return Handle(ok(Operator_getoutput_Field, o, 0)); }
void expect_same_field(TvxObject* actual, TvxObject* expected) {
    EXPECT_EQ(data(actual), data(expected));
    EXPECT_EQ(ok(CSField_GetNumberOfComponents, actual), ok(CSField_GetNumberOfComponents, expected));
    EXPECT_EQ(location(actual), location(expected));
    EXPECT_EQ(ids(actual), ids(expected));
}

// A "remote_operator_instantiate" operator fed with `id` and an address under `protocol`.
Handle proxy_for(int id, const char* address, const char* protocol) {
    Handle proxy = op("remote_operator_instantiate");
    Handle sources(ok(DataSources_new, static_cast<const char*>(nullptr)));
    ok(DataSources_SetResultFilePathWithKeyUtf8, sources.get(), address, protocol);
    ok(Operator_connect_int, proxy.get(), 0, id);
    ok(Operator_connect_DataSources, proxy.get(), 4, sources.get());
    return proxy;
}

class InprocessSample : public ::testing::Test {
protected:
    void SetUp() override { TVX_LOAD(tvxtest::double_path("tvx_sample_inprocess"), "common", 1); }
    void TearDown() override { ok(QuorixCore_UnloadAPI, "common"); }
};

TEST_F(InprocessSample, FieldsHoldValuesShapeLocationAndScopingIds) {
    const Values values{1.5, -2, 3, 4, 5.25, 6};
    Handle f = field(3, values, "Elemental");
    EXPECT_EQ(data(f.get()), values);
    EXPECT_EQ(ok(CSField_GetNumberOfComponents, f.get()), 3);
    EXPECT_EQ(ok(CSField_GetNumberEntities, f.get()), 2);
    EXPECT_EQ(location(f.get()), "Elemental");
    EXPECT_TRUE(ids(f.get()).empty()) << "no scoping yet";

    // The field shares its scoping: new ids show through the field, also once the scoping handle went.
    Handle s = scoping({11, 12});
    ok(CSField_SetCScoping, f.get(), s.get());
    EXPECT_EQ(ids(f.get()), (Ids{11, 12}));
    EXPECT_EQ(ok(Scoping_GetSize, s.get()), 2);
    Ids renumbered{7, 8, 9};
    ok(Scoping_SetIds, s.get(), static_cast<const int*>(renumbered.data()), 3);
    s.reset();
    EXPECT_EQ(ids(f.get()), renumbered);

    // Values that do not make whole entities are refused and change nothing.
    Values four{1, 2, 3, 4}, three{9, 8, 7};
    EXPECT_EQ(failure(CSField_SetData, f.get(), 4, four.data()),
              "CSField_SetData: 4 values do not make whole entities of 3 components");
    EXPECT_EQ(data(f.get()), values);
    ok(CSField_SetData, f.get(), 3, three.data());
    EXPECT_EQ(data(f.get()), three);
    EXPECT_EQ(ok(CSField_GetNumberEntities, f.get()), 1);
    EXPECT_EQ(failure(Field_new, 0, 1, "Nodal"), "Field_new: a field needs at least one component, not 0");
}

TEST_F(InprocessSample, FastAccessPointersReadTheSameObjects) {
    Handle f = field(2, {1, 2, 3, 4});
    Handle s = scoping({5, 6});
    ok(CSField_SetCScoping, f.get(), s.get());

    CField* raw = ok(Field_fast_access_ptr, f.get());
    ASSERT_NE(raw, nullptr);
    int n = -1, m = -1;
    double* fast = ok(Field_GetData, raw, &n);
    EXPECT_EQ(array<double>(fast, n), (Values{1, 2, 3, 4}));
    EXPECT_EQ(ok(CSField_GetData, f.get(), &m), fast) << "both read the field's own values";
    EXPECT_EQ(ok(Field_GetNumberOfComponents, raw), 2);
    EXPECT_EQ(ok(Field_GetNumberOfEntities, raw), 2);
    EXPECT_STREQ(ok(Field_GetLocation, raw), "Nodal");
    const int* field_ids = ok(Field_GetScoping, raw, &n);
    EXPECT_EQ(array<int>(field_ids, n), (Ids{5, 6}));
    fast[0] = 42;
    EXPECT_EQ(data(f.get())[0], 42) << "the pointer is into the field";

    CScoping* raw_scoping = ok(Scoping_fast_access_ptr, s.get());
    ASSERT_NE(raw_scoping, nullptr);
    EXPECT_EQ(Scoping_fast_get_ids(raw_scoping, &n), field_ids) << "the field and its scoping share the ids";
    EXPECT_EQ(n, 2);
    EXPECT_EQ(Scoping_fast_get_size(raw_scoping), 2);

    // Another kind has no fast pointer and no error: the handle entries then name the problem.
    EXPECT_EQ(ok(Field_fast_access_ptr, s.get()), nullptr);
    EXPECT_EQ(ok(Scoping_fast_access_ptr, f.get()), nullptr);
    EXPECT_EQ(failure(CSField_GetData, s.get(), &n), "CSField_GetData: the field is a scoping, not a field");
    EXPECT_EQ(failure(Field_GetData, reinterpret_cast<CField*>(raw_scoping), &n),
              "Field_GetData: the field is a scoping, not a field");
    EXPECT_EQ(failure(Field_GetData, static_cast<CField*>(nullptr), &n), "Field_GetData: the field is null");
    EXPECT_EQ(Scoping_fast_get_ids(nullptr, &n), nullptr);
    EXPECT_EQ(n, 0);
}

TEST_F(InprocessSample, ScaleAndAddComputeAlsoFedByAnotherOperator) {
    const Values a{1, 2, 3}, b{10, 20, 30};
    Handle fa = field(1, a), fb = field(1, b), ida = scoping({11, 12, 13});
    ok(CSField_SetCScoping, fa.get(), ida.get());

    Handle scale = op("scale");
    ok(Operator_connect_Field, scale.get(), 0, fa.get());
    ok(Operator_connect_double, scale.get(), 1, 2.5);
    ok(Operator_run, scale.get());
    Handle scaled = output(scale.get());
    Values expected, expected_sum, expected_sum2;
    for (std::size_t i = 0; i < a.size(); ++i) {
        expected.push_back(a[i] * 2.5);
        expected_sum.push_back(a[i] * 2.5 + b[i]);
        expected_sum2.push_back(b[i] - a[i]);
    }
    EXPECT_EQ(data(scaled.get()), expected);
    EXPECT_EQ(ids(scaled.get()), (Ids{11, 12, 13})) << "the ids go with the values";

    // "add" with output 0 of "scale" as its first input, computed when "add" runs.
    Handle add = op("add");
    ok(Operator_connect_Operator_as_input, add.get(), 0, scale.get());
    ok(Operator_connect_Field, add.get(), 1, fb.get());
    ok(Operator_run, add.get());
    Handle sum = output(add.get());
    EXPECT_EQ(data(sum.get()), expected_sum);
    EXPECT_EQ(ids(sum.get()), (Ids{11, 12, 13}));

    // A new factor shows in the next run of "add"; the output taken before keeps its values.
    ok(Operator_connect_double, scale.get(), 1, -1.0);
    ok(Operator_run, add.get());
    Handle sum2 = output(add.get());
    EXPECT_EQ(data(sum2.get()), expected_sum2);
    EXPECT_EQ(data(sum.get()), expected_sum);

    // Asking for an output runs an operator that has not run yet; it holds on to its inputs.
    Handle fresh = op("scale");
    ok(Operator_connect_Field, fresh.get(), 0, fb.get());
    ok(Operator_connect_double, fresh.get(), 1, 0.5);
    fb.reset();
    EXPECT_EQ(data(output(fresh.get()).get()), (Values{b[0] / 2, b[1] / 2, b[2] / 2}));
}

TEST_F(InprocessSample, MistakesAreReportedWithTheEntryName) {
    EXPECT_EQ(failure(Operator_new, "no_such_operator"),
              "Operator_new: no operator is called \"no_such_operator\" (known: \"scale\", \"add\" and "
              "\"remote_operator_instantiate\")");
    Handle f = field(1, {1, 2, 3}), g = field(1, {1, 2}), s = scoping({1, 2, 3});
    Handle add = op("add"), scale = op("scale");
    const int one = 1;
    EXPECT_EQ(failure(Operator_connect_Field, add.get(), 0, s.get()), "Operator_connect_Field: the field is a scoping, not a field");
    EXPECT_EQ(failure(Operator_run, f.get()), "Operator_run: the operator is a field, not an operator");
    EXPECT_EQ(failure(CSField_SetCScoping, f.get(), f.get()), "CSField_SetCScoping: the scoping is a field, not a scoping");
    EXPECT_EQ(failure(Scoping_SetIds, f.get(), &one, 1), "Scoping_SetIds: the scoping is a field, not a scoping");
    EXPECT_EQ(failure(Operator_connect_Operator_as_input, add.get(), 0, f.get()),
              "Operator_connect_Operator_as_input: the input operator is a field, not an operator");
    EXPECT_EQ(failure(Quorix_serialize, add.get()), "Quorix_serialize: only fields and scopings can be serialized");
    size_t length = 0;
    EXPECT_EQ(failure(SerializationStream_getOutputString, f.get(), &length),
              "SerializationStream_getOutputString: the stream is a field, not a serialization stream");

    // The framework's own reasons come through, after the entry's name.
    ok(Operator_connect_Field, add.get(), 0, f.get());
    ok(Operator_connect_Field, add.get(), 1, g.get());
    EXPECT_EQ(failure(Operator_run, add.get()), "Operator_run: add: the two fields differ in shape (3 and 2 values)");
    EXPECT_EQ(failure(Operator_getoutput_Field, add.get(), 0),
              "Operator_getoutput_Field: add: the two fields differ in shape (3 and 2 values)");
    ok(Operator_connect_Field, scale.get(), 0, f.get());
    EXPECT_EQ(failure(Operator_run, scale.get()), "Operator_run: scale: no number on pin 1");

    // Entries the sample leaves out are missing for TVXClientAPI.
    char hash[64] = {};
    EXPECT_EQ(failure(CSField_GetUnit, f.get()), "Invalid API pointer when calling function CSField_GetUnit");
    EXPECT_EQ(failure(Scoping_GetIdsHash, s.get(), static_cast<char*>(hash)),
              "Invalid API pointer when calling function Scoping_GetIdsHash");
}

TEST_F(InprocessSample, SerializationRoundTripsKeepValuesAndIds) {
    Handle f = field(2, {1, 2, 3, 4}, "Elemental"), s = scoping({100, 200});
    ok(CSField_SetCScoping, f.get(), s.get());
    Handle stream(ok(Quorix_serialize, f.get()));
    size_t length = 0;
    const char* bytes = ok(SerializationStream_getOutputString, stream.get(), &length);
    ASSERT_NE(bytes, nullptr);
    Handle copy(ok(Quorix_deserialize, bytes, length));
    expect_same_field(copy.get(), f.get());
    EXPECT_TRUE(starts_with(failure(Quorix_deserialize, bytes, length - 1), "Quorix_deserialize: serialized object: "));
    EXPECT_EQ(failure(Quorix_deserialize, "garbage", size_t{7}), "Quorix_deserialize: serialized object: bad header");

    // A copy, not the same object: later changes to the original do not reach it.
    const Values before = data(f.get());
    Values zeros{0, 0};
    ok(CSField_SetData, f.get(), 2, zeros.data());
    EXPECT_EQ(data(copy.get()), before);

    Handle scoping_stream(ok(Quorix_serialize, s.get()));
    bytes = ok(SerializationStream_getOutputString, scoping_stream.get(), &length);
    Handle scoping_copy(ok(Quorix_deserialize, bytes, length));
    int n = -1;
    EXPECT_EQ(array<int>(ok(Scoping_GetIds, scoping_copy.get(), &n), n), (Ids{100, 200}));

    // TVXClientAPI's deep copy and local move go through the same three entries. (A failing deep
    // copy is not tried: TVXClientAPI drops the inner message unfreed and the leak checker would say so.)
    Handle deep(ok(Quorix_deep_copy, f.get()));
    ASSERT_NE(deep.get(), nullptr);
    expect_same_field(deep.get(), f.get());
    Handle moved(ok(QuorixCore_MoveLocally, f.get(), static_cast<const void*>(nullptr)));
    ASSERT_NE(moved.get(), nullptr);
    expect_same_field(moved.get(), f.get());
    EXPECT_FALSE(QuorixCore_HasBeenMovedLocally(f.get()));
}

TEST_F(InprocessSample, DuplicatedReferencesKeepTheObjectAlive) {
    Handle f = field(1, {4, 5, 6});
    Handle duplicate(ok(Quorix_duplicate_object_reference, f.get()));
    ASSERT_NE(duplicate.get(), nullptr);
    EXPECT_NE(duplicate.get(), f.get()) << "a new handle";
    int n = 0;
    EXPECT_EQ(ok(CSField_GetData, duplicate.get(), &n), ok(CSField_GetData, f.get(), &n)) << "of the same field";
    f.reset();
    EXPECT_EQ(data(duplicate.get()), (Values{4, 5, 6}));
    ok(Quorix_delete_shared_object, static_cast<TvxObject*>(nullptr));  // releasing nothing is accepted
}

// Quorix_deleteString is there and takes null: this sample returns no char* of its own. The text it
// keeps, a location or a stream's bytes, is the object's own and the same at every call.
TEST_F(InprocessSample, QuorixDeleteStringIsThereAndKeptTextStaysTheObjects) {
    ok(Quorix_deleteString, static_cast<const char*>(nullptr));
    Handle f = field(1, {1, 2}, "Elemental");
    ok(Quorix_deleteString_for_object, f.get(), static_cast<const char*>(nullptr));

    const char* location_text = ok(CSField_GetLocation, f.get());
    ASSERT_NE(location_text, nullptr);
    EXPECT_STREQ(location_text, "Elemental");
    EXPECT_EQ(ok(CSField_GetLocation, f.get()), location_text);
    EXPECT_EQ(ok(Field_GetLocation, ok(Field_fast_access_ptr, f.get())), location_text);

    Handle stream(ok(Quorix_serialize, f.get()));
    size_t length = 0, again = 0;
    const char* bytes = ok(SerializationStream_getOutputString, stream.get(), &length);
    EXPECT_EQ(ok(SerializationStream_getOutputString, stream.get(), &again), bytes);
    EXPECT_EQ(again, length);
}

// --- the proxy operator for server operators ---------------------------------------------------

TEST_F(InprocessSample, ProxyNeedsAnIdAndAnAddressUnderGrpc) {
    const std::string prefix = "Operator_getoutput_Operator: remote_operator_instantiate: ";
    Handle http = proxy_for(7, "127.0.0.1:50051", "http");
    EXPECT_EQ(failure(Operator_getoutput_Operator, http.get(), 0), prefix + "the protocol \"http\" is not supported, only \"grpc\"");

    Handle no_id = op("remote_operator_instantiate");
    Handle no_address(ok(DataSources_new, static_cast<const char*>(nullptr)));
    ok(Operator_connect_DataSources, no_id.get(), 4, no_address.get());
    EXPECT_EQ(failure(Operator_getoutput_Operator, no_id.get(), 0), prefix + "no number on pin 0");
    ok(Operator_connect_int, no_id.get(), 0, 3);
    EXPECT_EQ(failure(Operator_getoutput_Operator, no_id.get(), 0), prefix + "the data sources on pin 4 hold no server address under \"grpc\"");
    Handle f = field(1, {1});
    ok(Operator_connect_Field, no_id.get(), 4, f.get());
    EXPECT_EQ(failure(Operator_getoutput_Operator, no_id.get(), 0), prefix + "pin 4 must hold the data sources with the server's address");
}

TEST_F(InprocessSample, ProxyOutputIsALocalOperatorThatNeedsTheServerOnFirstUse) {
    Handle proxy = proxy_for(7, "127.0.0.1:1", "grpc");  // nothing listens on port 1
    Handle remote(ok(Operator_getoutput_Operator, proxy.get(), 0));
    ASSERT_NE(remote.get(), nullptr);
    proxy.reset();  // the stand-in lives on its own, as after TVXClientAPI moved an operator

    // It feeds local operators like any other operator; only operators of its server feed it.
    const std::string me = "server operator 7 at 127.0.0.1:1: ";
    Handle add = op("add");
    ok(Operator_connect_Operator_as_input, add.get(), 0, remote.get());
    EXPECT_EQ(failure(Operator_connect_Operator_as_input, remote.get(), 0, add.get()),
              "Operator_connect_Operator_as_input: " + me + "only an operator of the same server can be its input; connect a field instead");
    EXPECT_EQ(failure(Operator_getoutput_Operator, remote.get(), 0),
              "Operator_getoutput_Operator: " + me + "the outputs of a server operator can be read as fields only");

#if defined(TVX_SAMPLE_TEST_WITH_GRPC)
    EXPECT_TRUE(starts_with(failure(Operator_run, remote.get()), "Operator_run: ")) << "nothing listens there";
#else
    const std::string without = me + "this sample library was built without gRPC, so it cannot reach the server";
    EXPECT_EQ(failure(Operator_run, remote.get()), "Operator_run: " + without);
    Handle f = field(1, {1, 2});
    ok(Operator_connect_Field, add.get(), 1, f.get());
    EXPECT_EQ(failure(Operator_run, add.get()), "Operator_run: " + without);
    EXPECT_EQ(failure(Operator_connect_Field, remote.get(), 0, f.get()), "Operator_connect_Field: " + without);
#endif
}

#if defined(TVX_SAMPLE_TEST_WITH_SERVER)
// The cross-library scenario with a real server: tvx_sample_remote, loaded as "remote", makes
// objects on a tvx-sample-server of the test's own, and TVXClientAPI moves them into this sample.
class ProxyAgainstServer : public InprocessSample {
protected:
    void SetUp() override {
        InprocessSample::SetUp();
        ASSERT_TRUE(server_.start()) << server_.error();
        TVX_LOAD(tvxtest::double_path("tvx_sample_remote"), "remote", 1);
        client_.reset(ok(Client_new_full_address, server_.address().c_str()));
    }
    void TearDown() override {
        client_.reset();
        ok(QuorixCore_UnloadAPI, "remote");
        // Every handle went, and with it every object made on the server, this sample's uploads too.
        EXPECT_TRUE(tvxtest::exited_cleanly(server_.stop()));
        EXPECT_NE(server_.stderr_text().find("(0 objects still held)"), std::string::npos) << server_.stderr_text();
        InprocessSample::TearDown();
    }
    TvxObject* client() const { return client_.get(); }

    tvxtest::ServerProcess server_;
    Handle client_;
};

// With both libraries loaded, the remote library's text goes back to it through the client's handle
// (plain Quorix_deleteString would reach this sample, the default library).
TEST_F(ProxyAgainstServer, RemoteTextGoesBackThroughTheClient) {
    char* address = ok(Client_get_full_address, client());
    char* protocol = ok(Client_get_protocol_name, client());
    ASSERT_NE(address, nullptr);
    ASSERT_NE(protocol, nullptr);
    EXPECT_EQ(std::string(address), server_.address());
    EXPECT_STREQ(protocol, "grpc");
    ok(Quorix_deleteString_for_object, client(), static_cast<const char*>(address));
    ok(Quorix_deleteString_for_object, client(), static_cast<const char*>(protocol));
}

TEST_F(ProxyAgainstServer, ServerOperatorFeedsALocalOperatorAndTakesLocalFields) {
    Values on_server{1, 2, 3}, local{10, 20, 30}, expected, uploaded_doubled, expected2;
    Ids server_ids{11, 12, 13};
    for (std::size_t i = 0; i < local.size(); ++i) {
        expected.push_back(on_server[i] * 2 + local[i]);
        uploaded_doubled.push_back(local[i] * 2);
        expected2.push_back(local[i] * 3 + local[i]);
    }
    Handle sf(ok(Field_new_on_client, client(), 1, 3, "Nodal"));
    ok(CSField_SetData, sf.get(), 3, on_server.data());
    Handle ss(ok(Scoping_new_on_client, client()));
    ok(Scoping_SetIds, ss.get(), static_cast<const int*>(server_ids.data()), 3);
    ok(CSField_SetCScoping, sf.get(), ss.get());
    Handle scale(ok(Operator_new_on_client, "scale", client()));
    ok(Operator_connect_Field, scale.get(), 0, sf.get());
    ok(Operator_connect_double, scale.get(), 1, 2.0);

    // The server operator meets a local one: TVXClientAPI gives it a stand-in from this sample.
    Handle lf = field(1, local), add = op("add");
    ok(Operator_connect_Operator_as_input, add.get(), 0, scale.get());
    EXPECT_TRUE(QuorixCore_HasBeenMovedLocally(scale.get()));
    ok(Operator_connect_Field, add.get(), 1, lf.get());
    ok(Operator_run, add.get());
    Handle sum = output(add.get());
    EXPECT_EQ(data(sum.get()), expected);
    EXPECT_EQ(ids(sum.get()), server_ids) << "the server field's ids came back with its values";
    EXPECT_EQ(location(sum.get()), "Nodal");
    int n = -1;
    EXPECT_EQ(array<double>(ok(Field_GetData, ok(Field_fast_access_ptr, sum.get()), &n), n), expected);

    // A server field given to a local operator is copied here with its ids.
    Handle local_scale = op("scale");
    ok(Operator_connect_Field, local_scale.get(), 0, sf.get());
    ok(Operator_connect_double, local_scale.get(), 1, 1.0);
    Handle copied = output(local_scale.get());
    EXPECT_EQ(data(copied.get()), on_server);
    EXPECT_EQ(ids(copied.get()), server_ids);

    // A local field given to the moved server operator is uploaded and computed on the server.
    ok(Operator_connect_Field, scale.get(), 0, lf.get());
    EXPECT_EQ(data(output(scale.get()).get()), uploaded_doubled);
    ok(Operator_connect_double, scale.get(), 1, 3.0);
    ok(Operator_run, add.get());
    EXPECT_EQ(data(output(add.get()).get()), expected2);

    // The server's reason for a failure comes back.
    Handle idle(ok(Operator_new_on_client, "scale", client()));
    ok(Operator_connect_Operator_as_input, local_scale.get(), 0, idle.get());
    const std::string message = failure(Operator_run, local_scale.get());
    EXPECT_TRUE(starts_with(message, "Operator_run: ")) << message;
    EXPECT_NE(message.find("no field on pin 0"), std::string::npos) << message;
}
#endif

}  // namespace
