/* The cross-library scenario with real data: a field and an operator on the sample server, a field
 * and an operator in process, connected so that TVXClientAPI moves the server operator into the
 * in-process library (a proxy that reaches the server) and deep-copies a server field. Every step
 * says which library it went to and what came back; every value is checked.
 *
 *   demo <directory of the sample libraries> <server address>
 *
 * Exit status 0 when every step gave what the scenario must give; 1 with the message otherwise. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "TVXClientAPI.h"

static int error_size = 0;
static wchar_t* error_message = NULL;

/* Stops the demo with the error pair's message when the last call failed. */
static void check(const char* step) {
    if (error_size == 0) return;
    fprintf(stderr, "FAILED at %s: %ls\n", step, error_message != NULL ? error_message : L"(no message)");
    exit(1);
}

static void expect_values(const char* what, const double* got, int count, const double* want, int want_count) {
    int ok = got != NULL && count == want_count;
    for (int i = 0; ok && i < count; ++i) ok = got[i] == want[i];
    if (!ok) {
        fprintf(stderr, "FAILED: %s: expected %d values", what, want_count);
        for (int i = 0; i < want_count; ++i) fprintf(stderr, " %g", want[i]);
        fprintf(stderr, ", got %d:", count);
        for (int i = 0; got != NULL && i < count; ++i) fprintf(stderr, " %g", got[i]);
        fprintf(stderr, "\n");
        exit(1);
    }
}

static void expect_ids(const char* what, const int* got, int count, const int* want, int want_count) {
    int ok = got != NULL && count == want_count;
    for (int i = 0; ok && i < count; ++i) ok = got[i] == want[i];
    if (!ok) {
        fprintf(stderr, "FAILED: %s: the ids differ (%d ids)\n", what, count);
        exit(1);
    }
}

static void print_values(const double* v, int n) {
    printf("[");
    for (int i = 0; i < n; ++i) printf(i ? ", %g" : "%g", v[i]);
    printf("]");
}

static void load(const char* dir, const char* file, const char* name) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", dir, file);
    QuorixCore_LoadAPI(path, name, &error_size, &error_message);
    check("loading");
    printf("  loaded %s as \"%s\"\n", file, name);
}

static void release(TvxObject* handle) {
    Quorix_delete_shared_object(handle, &error_size, &error_message);
    check("releasing a handle");
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s <directory of the sample libraries> <server address>\n", argv[0]);
        return 2;
    }
    const char* dir = argv[1];
    const char* address = argv[2];
    const double server_values[] = {1, 2, 3};
    const double local_values[] = {10, 20, 30};
    const int ids[] = {11, 12, 13};

    printf("1. Loading the implementation libraries\n");
    load(dir, "tvx_sample_inprocess", "common");
    load(dir, "tvx_sample_remote", "remote");

    printf("2. A client of the server -> remote\n");
    TvxObject* client = Client_new_full_address(address, &error_size, &error_message);
    check("Client_new_full_address");
    char* protocol = Client_get_protocol_name(client, &error_size, &error_message);
    check("Client_get_protocol_name");
    printf("  client of %s, protocol \"%s\"\n", address, protocol);
    Quorix_deleteString_for_object(client, protocol, &error_size, &error_message); /* the text is ours */
    check("Quorix_deleteString_for_object");

    printf("3. A field on the server -> remote\n");
    TvxObject* server_field = Field_new_on_client(client, 1, 3, "Nodal", &error_size, &error_message);
    check("Field_new_on_client");
    CSField_SetData(server_field, 3, (double*)server_values, &error_size, &error_message);
    check("CSField_SetData");
    TvxObject* server_scoping = Scoping_new_on_client(client, &error_size, &error_message);
    check("Scoping_new_on_client");
    Scoping_SetIds(server_scoping, ids, 3, &error_size, &error_message);
    check("Scoping_SetIds");
    CSField_SetCScoping(server_field, server_scoping, &error_size, &error_message);
    check("CSField_SetCScoping");
    printf("  values [1, 2, 3] on entities 11, 12, 13\n");

    printf("4. An operator on the server, \"scale\" by 2, fed with that field -> remote\n");
    TvxObject* server_scale = Operator_new_on_client("scale", client, &error_size, &error_message);
    check("Operator_new_on_client");
    Operator_connect_Field(server_scale, 0, server_field, &error_size, &error_message);
    check("Operator_connect_Field (both on the server)");
    Operator_connect_double(server_scale, 1, 2.0, &error_size, &error_message);
    check("Operator_connect_double");
    printf("  operator id %d on the server\n", Operator_get_id_for_client(server_scale, &error_size, &error_message));
    check("Operator_get_id_for_client");

    printf("5. A local field and a local \"add\" operator -> common\n");
    TvxObject* local_field = Field_new(1, 3, "Nodal", &error_size, &error_message);
    check("Field_new");
    CSField_SetData(local_field, 3, (double*)local_values, &error_size, &error_message);
    check("CSField_SetData");
    TvxObject* add = Operator_new("add", &error_size, &error_message);
    check("Operator_new");
    printf("  local values [10, 20, 30]\n");

    printf("6. Connecting the server operator into the local one: two libraries meet\n");
    Operator_connect_Operator_as_input(add, 0, server_scale, &error_size, &error_message);
    check("Operator_connect_Operator_as_input");
    Operator_connect_Field(add, 1, local_field, &error_size, &error_message);
    check("Operator_connect_Field");
    const bool proxied = QuorixCore_HasBeenMovedLocally(server_scale);
    printf("  the server operator was moved into the common library (a proxy): %s\n", proxied ? "yes" : "no");
    if (!proxied) {
        fprintf(stderr, "FAILED: the server operator should have been moved\n");
        return 1;
    }

    printf("7. Running the local operator -> common, which runs \"scale\" on the server through the proxy\n");
    Operator_run(add, &error_size, &error_message);
    check("Operator_run");
    TvxObject* sum = Operator_getoutput_Field(add, 0, &error_size, &error_message);
    check("Operator_getoutput_Field");
    int count = 0;
    const double* values = CSField_GetData(sum, &count, &error_size, &error_message);
    check("CSField_GetData");
    printf("  result ");
    print_values(values, count);
    const double want_sum[] = {12, 24, 36};
    expect_values("2 x [1, 2, 3] + [10, 20, 30]", values, count, want_sum, 3);
    int id_count = 0;
    const int* result_ids = CSField_GetScoping(sum, &id_count, &error_size, &error_message);
    check("CSField_GetScoping");
    expect_ids("the result's scoping", result_ids, id_count, ids, 3);
    const char* location = CSField_GetLocation(sum, &error_size, &error_message);
    check("CSField_GetLocation");
    printf(" on entities 11, 12, 13, location \"%s\", %d component(s)\n", location,
           CSField_GetNumberOfComponents(sum, &error_size, &error_message));
    check("CSField_GetNumberOfComponents");

    printf("8. A local \"scale\" by 10 fed with the server field: the field is deep-copied -> common\n");
    TvxObject* local_scale = Operator_new("scale", &error_size, &error_message);
    check("Operator_new");
    Operator_connect_Field(local_scale, 0, server_field, &error_size, &error_message);
    check("Operator_connect_Field (a server field into a local operator)");
    Operator_connect_double(local_scale, 1, 10.0, &error_size, &error_message);
    check("Operator_connect_double");
    TvxObject* scaled = Operator_getoutput_Field(local_scale, 0, &error_size, &error_message);
    check("Operator_getoutput_Field");
    values = CSField_GetData(scaled, &count, &error_size, &error_message);
    check("CSField_GetData");
    printf("  the server field now has a local copy: %s; result ",
           QuorixCore_HasBeenMovedLocally(server_field) ? "yes" : "no");
    print_values(values, count);
    printf("\n");
    const double want_scaled[] = {10, 20, 30};
    expect_values("10 x [1, 2, 3]", values, count, want_scaled, 3);

    printf("9. A failure as a user meets it: loading a library that is not there\n");
    int size = 0;
    wchar_t* message = NULL;
    QuorixCore_LoadAPI("./no_such_framework", "other", &size, &message);
    if (size == 0) {
        fprintf(stderr, "FAILED: loading a missing file succeeded\n");
        return 1;
    }
    printf("  error size %d: %ls\n", size, message);
    TVX_FreeErrorMessage(message);

    printf("10. Releasing everything\n");
    release(scaled);
    release(local_scale);
    release(sum);
    release(add);
    release(local_field);
    release(server_scale);
    release(server_scoping);
    release(server_field);
    release(client);
    QuorixCore_UnloadAPI("remote", &error_size, &error_message);
    check("unloading");
    QuorixCore_UnloadAPI("common", &error_size, &error_message);
    check("unloading");

    printf("SUCCESS: the scenario gave [12, 24, 36] and [10, 20, 30] as it must\n");
    return 0;
}
