// The demo's cross-library scenario written with the C++ binding (TVXClientAPI.hpp): the same steps
// and values as demo.c. Handles are owned by tvx::Object / tvx::Operator and released when they go;
// a failed call throws tvx::Error; loaded libraries are tvx::Library objects that unload their name.
//
//   demo_cpp <directory of the sample libraries> <server address>
//
// Exit status 0 when every step gave what the scenario must give; 1 with the message otherwise.
#include <cstdio>
#include <string>
#include <vector>

#include "TVXClientAPI.hpp"

namespace {

bool expect(const char* what, const std::vector<double>& got, const std::vector<double>& want) {
    if (got == want) return true;
    std::fprintf(stderr, "FAILED: %s: expected %zu values", what, want.size());
    for (double v : want) std::fprintf(stderr, " %g", v);
    std::fprintf(stderr, ", got %zu:", got.size());
    for (double v : got) std::fprintf(stderr, " %g", v);
    std::fprintf(stderr, "\n");
    return false;
}

void print_values(const std::vector<double>& values) {
    std::printf("[");
    for (size_t i = 0; i < values.size(); ++i) std::printf(i != 0 ? ", %g" : "%g", values[i]);
    std::printf("]");
}

tvx::Library load(const std::string& dir, const char* file, const char* name) {
    tvx::Library library(dir + "/" + file, name);
    std::printf("  loaded %s as \"%s\"\n", file, name);
    return library;
}

// Steps 2 to 8: every handle lives in this function and is released when it returns (step 10).
bool scenario(const char* address) {
    std::vector<double> server_values = {1, 2, 3};
    std::vector<double> local_values = {10, 20, 30};
    const std::vector<int> ids = {11, 12, 13};

    std::printf("2. A client of the server -> remote\n");
    tvx::Object client = tvx::Client_new_full_address(address);
    std::printf("  client of %s, protocol \"%s\"\n", address, tvx::Client_get_protocol_name(client).c_str());

    std::printf("3. A field on the server -> remote\n");
    tvx::Object server_field = tvx::Field_new_on_client(client, 1, 3, "Nodal");
    tvx::CSField_SetData(server_field, 3, server_values.data());
    tvx::Object server_scoping = tvx::Scoping_new_on_client(client);
    tvx::Scoping_SetIds(server_scoping, ids.data(), 3);
    tvx::CSField_SetCScoping(server_field, server_scoping);
    std::printf("  values [1, 2, 3] on entities 11, 12, 13\n");

    std::printf("4. An operator on the server, \"scale\" by 2, fed with that field -> remote\n");
    tvx::Operator server_scale = tvx::Operator_new_on_client("scale", client);
    tvx::Operator_connect_Field(server_scale, 0, server_field);
    tvx::Operator_connect_double(server_scale, 1, 2.0);
    std::printf("  operator id %d on the server\n", tvx::Operator_get_id_for_client(server_scale));

    std::printf("5. A local field and a local \"add\" operator -> common\n");
    tvx::Object local_field = tvx::Field_new(1, 3, "Nodal");
    tvx::CSField_SetData(local_field, 3, local_values.data());
    tvx::Operator add = tvx::Operator_new("add");
    std::printf("  local values [10, 20, 30]\n");

    std::printf("6. Connecting the server operator into the local one: two libraries meet\n");
    tvx::Operator_connect_Operator_as_input(add, 0, server_scale);
    tvx::Operator_connect_Field(add, 1, local_field);
    const bool proxied = tvx::QuorixCore_HasBeenMovedLocally(server_scale);
    std::printf("  the server operator was moved into the common library (a proxy): %s\n", proxied ? "yes" : "no");
    if (!proxied) {
        std::fprintf(stderr, "FAILED: the server operator should have been moved\n");
        return false;
    }

    std::printf("7. Running the local operator -> common, which runs \"scale\" on the server through the proxy\n");
    tvx::Operator_run(add);
    tvx::Object sum = tvx::Operator_getoutput_Field(add, 0);
    const std::vector<double> values = tvx::CSField_GetData(sum);
    std::printf("  result ");
    print_values(values);
    if (!expect("2 x [1, 2, 3] + [10, 20, 30]", values, {12, 24, 36})) return false;
    if (tvx::CSField_GetScoping(sum) != ids) {
        std::fprintf(stderr, "FAILED: the result's scoping: the ids differ\n");
        return false;
    }
    const std::string location = tvx::CSField_GetLocation(sum);
    std::printf(" on entities 11, 12, 13, location \"%s\", %d component(s)\n", location.c_str(),
                tvx::CSField_GetNumberOfComponents(sum));

    std::printf("8. A local \"scale\" by 10 fed with the server field: the field is deep-copied -> common\n");
    tvx::Operator local_scale = tvx::Operator_new("scale");
    tvx::Operator_connect_Field(local_scale, 0, server_field);
    tvx::Operator_connect_double(local_scale, 1, 10.0);
    tvx::Object scaled = tvx::Operator_getoutput_Field(local_scale, 0);
    const std::vector<double> scaled_values = tvx::CSField_GetData(scaled);
    std::printf("  the server field now has a local copy: %s; result ",
                tvx::QuorixCore_HasBeenMovedLocally(server_field) ? "yes" : "no");
    print_values(scaled_values);
    std::printf("\n");
    if (!expect("10 x [1, 2, 3]", scaled_values, {10, 20, 30})) return false;

    std::printf("9. A failure as a user meets it: loading a library that is not there\n");
    try {
        tvx::Library missing("./no_such_framework", "other");
        std::fprintf(stderr, "FAILED: loading a missing file succeeded\n");
        return false;
    } catch (const tvx::Error& e) {
        std::printf("  error size %d: %s\n", e.size(), e.what());
    }

    std::printf("10. Releasing everything\n");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <directory of the sample libraries> <server address>\n", argv[0]);
        return 2;
    }
    try {
        std::printf("1. Loading the implementation libraries\n");
        tvx::Library common = load(argv[1], "tvx_sample_inprocess", "common");
        tvx::Library remote = load(argv[1], "tvx_sample_remote", "remote");
        if (!scenario(argv[2])) return 1;
        remote.unload();
        common.unload();
    } catch (const tvx::Error& e) {
        std::fprintf(stderr, "FAILED: %s (error size %d)\n", e.what(), e.size());
        return 1;
    }
    std::printf("SUCCESS: the scenario gave [12, 24, 36] and [10, 20, 30] as it must\n");
    return 0;
}
