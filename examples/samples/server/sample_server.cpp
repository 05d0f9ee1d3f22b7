// tvx-sample-server [--port N] [--parent-pid P]
//
// The sample framework behind the Framework RPC service: fields, scopings and operators live here
// under positive 32-bit ids. It listens on 127.0.0.1 only, on port N or on a free port the system
// chooses, and prints "listening on 127.0.0.1:<port>" once it accepts calls. It stops on the
// Shutdown call, on SIGTERM or SIGINT, and when the process that started it (or process P) ends.
#include <grpcpp/grpcpp.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <unistd.h>

#include "sample_framework.h"
#include "tvx_sample.grpc.pb.h"

namespace {

namespace pb = tvxsample::proto;
using grpc::ServerContext;
using grpc::Status;
using grpc::StatusCode;
using tvxsample::Kind;
using tvxsample::kind_name;
using tvxsample::Ref;

constexpr int kMaxReceiveBytes = 16 * 1024 * 1024;
constexpr int kMaxComponents = 1024;
constexpr int kMaxValues = 2'000'000;       // values or ids in one request (16 MB of doubles)
constexpr int kMaxPin = 255;
constexpr std::size_t kMaxTextLength = 256;  // locations and operator names

// A request the server refuses: the status code and a message for the client.
struct Refusal {
    StatusCode code;
    std::string message;
};

[[noreturn]] void refuse(StatusCode code, std::string message) { throw Refusal{code, std::move(message)}; }

class FrameworkService final : public pb::Framework::Service {
public:
    // Set when a client asked the server to stop; the main thread watches it.
    std::atomic<bool> shutdown_requested{false};

    Status CreateField(ServerContext*, const pb::CreateFieldRequest* request, pb::ObjectId* reply) override {
        return handle(__func__, [&] {
            if (request->components() < 1 || request->components() > kMaxComponents)
                refuse(StatusCode::INVALID_ARGUMENT, std::to_string(request->components()) +
                                                         " components; a field has 1 to " +
                                                         std::to_string(kMaxComponents));
            check_text("location", request->location());
            reply->set_id(add(new tvxsample::Field(request->components(), request->location())));
        });
    }

    Status SetFieldData(ServerContext*, const pb::FieldData* request, pb::Empty*) override {
        return handle(__func__, [&] {
            auto& field = get<tvxsample::Field>(request->field(), Kind::Field);
            const int n = request->values_size();
            check_count("values", n);
            if (n % field.components != 0)
                refuse(StatusCode::INVALID_ARGUMENT, std::to_string(n) +
                                                         " values do not make whole entities of " +
                                                         std::to_string(field.components) + " components");
            field.data.assign(request->values().begin(), request->values().end());
        });
    }

    Status CreateScoping(ServerContext*, const pb::Empty*, pb::ObjectId* reply) override {
        return handle(__func__, [&] { reply->set_id(add(new tvxsample::Scoping)); });
    }

    Status SetScopingIds(ServerContext*, const pb::ScopingIds* request, pb::Empty*) override {
        return handle(__func__, [&] {
            auto& scoping = get<tvxsample::Scoping>(request->scoping(), Kind::Scoping);
            check_count("ids", request->ids_size());
            scoping.ids.assign(request->ids().begin(), request->ids().end());
        });
    }

    Status SetFieldScoping(ServerContext*, const pb::FieldScoping* request, pb::Empty*) override {
        return handle(__func__, [&] {
            auto& field = get<tvxsample::Field>(request->field(), Kind::Field);
            auto& scoping = get<tvxsample::Scoping>(request->scoping(), Kind::Scoping);
            field.scoping = Ref(scoping.add_ref());
        });
    }

    Status Describe(ServerContext*, const pb::ObjectId* request, pb::Description* reply) override {
        return handle(__func__, [&] {
            tvxsample::Object& object = get_any(request->id());
            switch (object.kind()) {
                case Kind::Field: {
                    const auto& field = static_cast<const tvxsample::Field&>(object);
                    reply->set_kind(pb::Description::FIELD);
                    reply->set_components(field.components);
                    reply->set_entities(field.entities());
                    reply->set_location(field.location);
                    break;
                }
                case Kind::Scoping:
                    reply->set_kind(pb::Description::SCOPING);
                    reply->set_entities(static_cast<int>(static_cast<const tvxsample::Scoping&>(object).ids.size()));
                    break;
                case Kind::Operator:
                    reply->set_kind(pb::Description::OPERATOR);
                    reply->set_name(static_cast<const tvxsample::Operator&>(object).name);
                    break;
                default:
                    reply->set_kind(pb::Description::UNKNOWN);
                    break;
            }
        });
    }

    Status GetBytes(ServerContext*, const pb::ObjectId* request, pb::Bytes* reply) override {
        return handle(__func__, [&] {
            tvxsample::Object& object = get_any(request->id());
            if (object.kind() != Kind::Field && object.kind() != Kind::Scoping)
                refuse(StatusCode::INVALID_ARGUMENT, "object " + std::to_string(request->id()) + " is " +
                                                         kind_name(object.kind()) +
                                                         "; only fields and scopings have bytes");
            reply->set_data(tvxsample::serialize(object));
        });
    }

    Status PutBytes(ServerContext*, const pb::Bytes* request, pb::ObjectId* reply) override {
        return handle(__func__, [&] {
            tvxsample::Object* object = nullptr;
            try {
                object = tvxsample::deserialize(request->data());
            } catch (const std::exception& e) {
                refuse(StatusCode::INVALID_ARGUMENT, e.what());
            }
            reply->set_id(add(object));
        });
    }

    Status CreateOperator(ServerContext*, const pb::CreateOperatorRequest* request, pb::ObjectId* reply) override {
        return handle(__func__, [&] {
            check_text("name", request->name());
            const tvxsample::OperatorTable& operators = tvxsample::framework_operators();
            tvxsample::Operator* op = operators.make(request->name());
            if (op == nullptr)
                refuse(StatusCode::NOT_FOUND, "no operator called '" + request->name() +
                                                  "' (this server has " + operators.names() + ")");
            reply->set_id(add(op));
        });
    }

    Status Connect(ServerContext*, const pb::ConnectRequest* request, pb::Empty*) override {
        return handle(__func__, [&] {
            auto& op = get<tvxsample::Operator>(request->op(), Kind::Operator);
            const int pin = request->pin();
            check_pin(pin);
            const std::string where = "pin " + std::to_string(pin) + " of " + op.name;
            switch (request->value_case()) {
                case pb::ConnectRequest::kObject: {
                    tvxsample::Object& value = get_any(request->object());
                    if (value.kind() == Kind::Field) {
                        op.connect_field(pin, &static_cast<tvxsample::Field&>(value));
                        upstream_[request->op()].erase(pin);
                    } else if (value.kind() == Kind::Operator) {
                        if (reaches(request->object(), request->op()))
                            refuse(StatusCode::INVALID_ARGUMENT,
                                   where + ": operator " + std::to_string(request->object()) +
                                       " already depends on operator " + std::to_string(request->op()) +
                                       "; connecting it would make a cycle");
                        op.connect_operator(pin, &static_cast<tvxsample::Operator&>(value));
                        upstream_[request->op()][pin] = request->object();
                    } else {
                        refuse(StatusCode::INVALID_ARGUMENT, where + ": object " + std::to_string(request->object()) +
                                                                 " is " + kind_name(value.kind()) +
                                                                 "; an input takes a field or an operator");
                    }
                    break;
                }
                case pb::ConnectRequest::kNumber:
                    op.connect_double(pin, request->number());
                    upstream_[request->op()].erase(pin);
                    break;
                case pb::ConnectRequest::kInteger:
                    op.connect_int(pin, request->integer());
                    upstream_[request->op()].erase(pin);
                    break;
                default:
                    refuse(StatusCode::INVALID_ARGUMENT, where + ": the request carries no value");
            }
        });
    }

    Status Run(ServerContext*, const pb::ObjectId* request, pb::Empty*) override {
        return handle(__func__, [&] {
            auto& op = get<tvxsample::Operator>(request->id(), Kind::Operator);
            try {
                op.run();
            } catch (const std::exception& e) {
                refuse(StatusCode::FAILED_PRECONDITION, e.what());
            }
        });
    }

    Status GetOutput(ServerContext*, const pb::OutputRequest* request, pb::ObjectId* reply) override {
        return handle(__func__, [&] {
            auto& op = get<tvxsample::Operator>(request->op(), Kind::Operator);
            check_pin(request->pin());
            tvxsample::Field* output = nullptr;
            try {
                output = op.output_field(request->pin());
            } catch (const std::exception& e) {
                refuse(StatusCode::FAILED_PRECONDITION, e.what());
            }
            reply->set_id(add(output));
        });
    }

    Status Release(ServerContext*, const pb::ObjectId* request, pb::Empty*) override {
        return handle(__func__, [&] {
            get_any(request->id());
            objects_.erase(request->id());
        });
    }

    Status Shutdown(ServerContext*, const pb::Empty*, pb::Empty*) override {
        shutdown_requested = true;
        return Status::OK;
    }

    std::size_t object_count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return objects_.size();
    }

private:
    // Runs one request of the call named `call` (its __func__) under the lock (the framework's
    // objects are not thread-safe) and turns a refusal, worded "call: reason", or any other failure
    // into an error status: a bad request never ends the server.
    template <class Work>
    Status handle(const char* call, Work&& work) {
        std::lock_guard<std::mutex> lock(mutex_);
        try {
            work();
            return Status::OK;
        } catch (const Refusal& r) {
            return Status(r.code, std::string(call) + ": " + r.message);
        } catch (const std::bad_alloc&) {
            return Status(StatusCode::RESOURCE_EXHAUSTED, "the server ran out of memory");
        } catch (const std::exception& e) {
            return Status(StatusCode::INTERNAL, e.what());
        }
    }

    // Takes over `adopt` (a new reference) under a new id.
    std::int32_t add(tvxsample::Object* adopt) {
        Ref ref(adopt);
        if (next_id_ == INT32_MAX) refuse(StatusCode::RESOURCE_EXHAUSTED, "the server has run out of object ids");
        const std::int32_t id = next_id_++;
        objects_[id] = ref;
        return id;
    }

    tvxsample::Object& get_any(std::int32_t id) {
        if (id <= 0) refuse(StatusCode::INVALID_ARGUMENT, std::to_string(id) + " is not an object id (ids are positive)");
        auto it = objects_.find(id);
        if (it == objects_.end()) refuse(StatusCode::NOT_FOUND, "no object with id " + std::to_string(id));
        return *it->second.p;
    }

    template <class T>
    T& get(std::int32_t id, Kind kind) {
        tvxsample::Object& object = get_any(id);
        if (object.kind() != kind)
            refuse(StatusCode::INVALID_ARGUMENT, "object " + std::to_string(id) + " is " + kind_name(object.kind()) +
                                                     ", not " + kind_name(kind));
        return static_cast<T&>(object);
    }

    static void check_pin(int pin) {
        if (pin < 0 || pin > kMaxPin)
            refuse(StatusCode::INVALID_ARGUMENT,
                   "pin " + std::to_string(pin) + " is out of range (0 to " + std::to_string(kMaxPin) + ")");
    }

    static void check_count(const char* what, int n) {
        if (n > kMaxValues)
            refuse(StatusCode::INVALID_ARGUMENT, std::to_string(n) + " " + what + " are too many (at most " +
                                                     std::to_string(kMaxValues) + " in one request)");
    }

    static void check_text(const char* what, const std::string& text) {
        if (text.size() > kMaxTextLength)
            refuse(StatusCode::INVALID_ARGUMENT,
                   std::string("the ") + what + " is longer than " + std::to_string(kMaxTextLength) + " bytes");
    }

    // Whether operator `from` reads, directly or through other operators, the output of `to`.
    bool reaches(std::int32_t from, std::int32_t to) const {
        std::set<std::int32_t> seen;
        std::vector<std::int32_t> pending{from};
        while (!pending.empty()) {
            const std::int32_t id = pending.back();
            pending.pop_back();
            if (id == to) return true;
            if (!seen.insert(id).second) continue;
            auto it = upstream_.find(id);
            if (it == upstream_.end()) continue;
            for (const auto& [pin, upstream] : it->second) pending.push_back(upstream);
        }
        return false;
    }

    std::mutex mutex_;
    std::map<std::int32_t, Ref> objects_;
    // Operator id -> pin -> id of the operator feeding that pin. Ids are never reused, so entries of
    // released operators stay correct for the operators that still hold them.
    std::map<std::int32_t, std::map<int, std::int32_t>> upstream_;
    std::int32_t next_id_ = 1;
};

struct Options {
    int port = 0;
    long parent_pid = 0;
};

bool parse_number(const char* text, long low, long high, long* out) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    *out = v;
    return true;
}

bool parse_options(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        long value = 0;
        if (arg == "--port" && i + 1 < argc && parse_number(argv[i + 1], 0, 65535, &value)) {
            options->port = static_cast<int>(value);
            ++i;
        } else if (arg == "--parent-pid" && i + 1 < argc && parse_number(argv[i + 1], 1, INT_MAX, &value)) {
            options->parent_pid = value;
            ++i;
        } else {
            std::cerr << "tvx-sample-server: bad argument '" << arg << "'"
                      << (i + 1 < argc && (arg == "--port" || arg == "--parent-pid") ? std::string(" ") + argv[i + 1] : "")
                      << "\nusage: tvx-sample-server [--port N (0 to 65535, 0 = any free port)] [--parent-pid P]\n";
            return false;
        }
    }
    return true;
}

// Whether process `pid` is gone: no such process, or one that has exited and waits to be reaped.
bool process_gone(long pid) {
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const std::size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && (line[paren + 2] == 'Z' || line[paren + 2] == 'X');
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, &options)) return 2;

    // The stop signals are taken synchronously by the main loop below: blocked here, before any
    // thread exists, so every thread gRPC starts inherits the mask. The parent's death arrives as
    // SIGTERM too.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    // A reader that went away must not end the server through a write to its pipe.
    std::signal(SIGPIPE, SIG_IGN);
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent || (options.parent_pid != 0 && process_gone(options.parent_pid))) {
        std::cerr << "tvx-sample-server: the process that started it has already ended\n";
        return 0;
    }

    FrameworkService service;
    grpc::ServerBuilder builder;
    int port = 0;
    builder.AddListeningPort("127.0.0.1:" + std::to_string(options.port), grpc::InsecureServerCredentials(), &port);
    builder.SetMaxReceiveMessageSize(kMaxReceiveBytes);
    builder.RegisterService(&service);
    std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
    if (!server || port == 0) {
        std::cerr << "tvx-sample-server: cannot listen on 127.0.0.1:" << options.port << "\n";
        return 1;
    }
    std::cout << "listening on 127.0.0.1:" << port << std::endl;

    std::string reason;
    while (reason.empty()) {
        const timespec tick{0, 200 * 1000 * 1000};
        const int signal = sigtimedwait(&stop_signals, nullptr, &tick);
        if (signal == SIGTERM || signal == SIGINT)
            reason = signal == SIGTERM ? "SIGTERM" : "SIGINT";
        else if (service.shutdown_requested)
            reason = "a Shutdown call";
        else if (getppid() != parent)
            reason = "the end of the process that started it";
        else if (options.parent_pid != 0 && process_gone(options.parent_pid))
            reason = "the end of process " + std::to_string(options.parent_pid);
    }

    std::cerr << "tvx-sample-server: stopping on " << reason << " (" << service.object_count()
              << " objects still held)\n";
    // Calls in progress get a moment to finish; idle client connections would otherwise hold the
    // shutdown for the whole grace period, so it is short.
    server->Shutdown(std::chrono::system_clock::now() + std::chrono::milliseconds(500));
    server->Wait();
    return 0;
}
