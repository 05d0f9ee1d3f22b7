// A connection to tvx-sample-server, shared by the remote sample library and by the in-process
// sample's proxy operators. Calls are synchronous; a failure (the server's error status or an
// unreachable server) throws RpcError with a readable message. Safe to use from several threads.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tvxsample::rpc {

class RpcError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Description {
    enum Kind { Unknown = 0, Field = 1, Scoping = 2, Operator = 5 } kind = Unknown;
    int components = 0;
    int entities = 0;
    std::string location;
    std::string name;
};

class Connection {
public:
    // Connects to `address` ("127.0.0.1:50051"); throws RpcError when the server cannot be reached
    // within a few seconds.
    static std::shared_ptr<Connection> open(const std::string& address);
    virtual ~Connection() = default;

    virtual const std::string& address() const = 0;

    virtual std::int32_t create_field(int components, const std::string& location) = 0;
    virtual void set_field_data(std::int32_t field, const std::vector<double>& values) = 0;
    virtual std::int32_t create_scoping() = 0;
    virtual void set_scoping_ids(std::int32_t scoping, const std::vector<int>& ids) = 0;
    virtual void set_field_scoping(std::int32_t field, std::int32_t scoping) = 0;
    virtual Description describe(std::int32_t id) = 0;
    virtual std::string get_bytes(std::int32_t id) = 0;
    virtual std::int32_t put_bytes(const std::string& bytes) = 0;
    virtual std::int32_t create_operator(const std::string& name) = 0;
    virtual void connect_object(std::int32_t op, int pin, std::int32_t object) = 0;
    virtual void connect_double(std::int32_t op, int pin, double value) = 0;
    virtual void connect_int(std::int32_t op, int pin, int value) = 0;
    virtual void run(std::int32_t op) = 0;
    virtual std::int32_t get_output(std::int32_t op, int pin) = 0;
    virtual void release(std::int32_t id) = 0;
    virtual void shutdown() = 0;
};

}  // namespace tvxsample::rpc
