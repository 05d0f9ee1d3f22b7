/*
 * A client of TVXClientAPI against the recording doubles: an in-process ("common") and a server
 * ("remote") implementation library that log every call they receive. It runs the cross-library
 * scenario (a server operator meets a local field) and shows what was forwarded where, then what
 * the loader reports when loads fail.
 *
 *     demo <directory of the doubles>
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "TVXClientAPI.h"
#include "tests/doubles/recorder.h"

#if defined(_WIN32)
#define SEP "\\"
#else
#define SEP "/"
#endif

static char path_buffer[4096];
static size_t calls_shown = 0;

static const char* in_dir(const char* dir, const char* file) {
    snprintf(path_buffer, sizeof path_buffer, "%s" SEP "%s", dir, file);
    return path_buffer;
}

static void print_message(const wchar_t* message) {
    for (const wchar_t* p = message; p != NULL && *p != 0; ++p) putchar(*p < 128 ? (int)*p : '?');
    putchar('\n');
}

/* Prints the outcome of a call, frees its message and resets the pair for the next call (a
 * forwarded call leaves the pair to the implementation library, which writes it on failure). */
static int report(const char* what, int* size, wchar_t** message) {
    if (*size == 0) {
        printf("  %-58s ok\n", what);
        return 0;
    }
    printf("  %-58s failed:\n    ", what);
    print_message(*message);
    TVX_FreeErrorMessage(*message);
    *size = 0;
    *message = NULL;
    return 1;
}

/* Prints the calls the implementation libraries received since the last time. */
static void show_calls(const char* step) {
    printf("%s\n", step);
    for (size_t i = calls_shown; i < tvxrec_count(); ++i) {
        printf("    %-7s %s(", tvxrec_library(i), tvxrec_entry(i));
        for (int a = 0; a < tvxrec_nargs(i); ++a) {
            const TvxRecArg* arg = tvxrec_arg(i, a);
            if (a > 0) printf(", ");
            switch (arg->kind) {
                case TVXREC_INT: printf("%lld", arg->i); break;
                case TVXREC_UINT: printf("%llu", arg->u); break;
                case TVXREC_DOUBLE: printf("%g", arg->d); break;
                case TVXREC_STR:
                    if (arg->s != NULL)
                        printf("\"%s\"", arg->s);
                    else
                        printf("null");
                    break;
                default: printf("%s", arg->p == NULL ? "null" : "obj"); break;
            }
        }
        printf(")\n");
    }
    calls_shown = tvxrec_count();
}

static int cross_library_scenario(const char* dir) {
    static const char address[] = "127.0.0.1:50052";
    static const char protocol[] = "grpc";
    int size = 0;
    wchar_t* message = NULL;
    int failures = 0;

    printf("1. Load the in-process framework as \"common\" and the server client as \"remote\" (strict):\n");
    QuorixCore_LoadAPIWithOptions(in_dir(dir, "double_common"), "common", 0, &size, &message);
    failures += report("double_common as \"common\"", &size, &message);
    QuorixCore_LoadAPIWithOptions(in_dir(dir, "double_remote"), "remote", 0, &size, &message);
    failures += report("double_remote as \"remote\"", &size, &message);
    if (failures != 0) return failures;

    /* What the doubles answer: new objects, and the server's address and the operator's id. */
    tvxrec_hand_out_objects("common", 1);
    tvxrec_hand_out_objects("remote", 1);
    tvxrec_clear_size_on_success("common", 1);
    tvxrec_clear_size_on_success("remote", 1);
    tvxrec_set_result("remote", "Client_get_full_address", (unsigned long long)(uintptr_t)address);
    tvxrec_set_result("remote", "Client_get_protocol_name", (unsigned long long)(uintptr_t)protocol);
    tvxrec_set_result("remote", "Operator_get_id_for_client", 7);

    TvxObject* client = Client_new_full_address(address, &size, &message);
    failures += report("Client_new_full_address", &size, &message);
    TvxObject* op = Operator_new_on_client("norm", client, &size, &message);
    failures += report("Operator_new_on_client", &size, &message);
    show_calls("2. A client and an operator on the server:");

    TvxObject* field = Field_new(3, 10, "Nodal", &size, &message);
    failures += report("Field_new", &size, &message);
    show_calls("3. A field in process:");

    Operator_connect_Field(op, 0, field, &size, &message);
    failures += report("Operator_connect_Field", &size, &message);
    show_calls("4. They meet: the operator gets a local proxy, then the common entry is called:");
    printf("   the operator %s moved locally\n", QuorixCore_HasBeenMovedLocally(op) ? "has been" : "has NOT been");

    Operator_run(op, &size, &message);
    failures += report("Operator_run", &size, &message);
    show_calls("5. Running it goes to the common library, with the local copy:");

    Quorix_delete_shared_object(op, &size, &message);
    failures += report("Quorix_delete_shared_object(operator)", &size, &message);
    show_calls("6. Releasing it releases the local copy, then the server's operator:");

    Quorix_delete_shared_object(field, &size, &message);
    Quorix_delete_shared_object(client, &size, &message);
    printf("\nObjects the libraries handed out: %zu, still alive: %zu\n", tvxrec_objects_created(),
           tvxrec_objects_live());
    return failures + (tvxrec_objects_live() == 0 ? 0 : 1);
}

static void failed_loads(const char* dir) {
    int size = 0;
    wchar_t* message = NULL;
    printf("\nLoads that fail say why:\n");
    QuorixCore_LoadAPIWithOptions(in_dir(dir, "double_remote_missing"), "remote2", 0, &size, &message);
    report("double_remote_missing as \"remote2\" (both entries only)", &size, &message);
    QuorixCore_UnloadAPI("remote", &size, &message);
    report("unload \"remote\"", &size, &message);
    QuorixCore_LoadAPIWithOptions(in_dir(dir, "double_remote_missing"), "remote", 0, &size, &message);
    report("double_remote_missing as \"remote\", strict", &size, &message);
    QuorixCore_LoadAPI(in_dir(dir, "no_such_library"), "common2", &size, &message);
    report("a file that does not exist", &size, &message);
    QuorixCore_UnloadAPI("never_loaded", &size, &message);
    report("unload a name never loaded", &size, &message);
    Operator_run(NULL, &size, &message);
    report("Operator_run(null) with \"common\" loaded", &size, &message);

    printf("\nUnloading the empty name releases every library:\n");
    QuorixCore_LoadAPI(in_dir(dir, "double_both"), "", &size, &message);
    report("double_both as \"\"", &size, &message);
    QuorixCore_UnloadAPI("", &size, &message);
    report("unload \"\"", &size, &message);
    QuorixCore_UnloadAPI("common", &size, &message);
    report("unload \"common\" afterwards", &size, &message);
    Operator_run(NULL, &size, &message);
    report("Operator_run(null) with nothing loaded", &size, &message);
}

int main(int argc, char** argv) {
    const char* dir = argc > 1 ? argv[1] : ".";
    const int failures = cross_library_scenario(dir);
    failed_loads(dir);
    return failures == 0 ? 0 : 1;
}
