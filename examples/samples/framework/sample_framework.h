// A deliberately small numerical framework for the sample implementation libraries.
//
// It is what the in-process sample exposes through TVXClientAPI's entries and what the sample server
// keeps behind its RPC interface: fields of doubles with a location, components and a scoping of
// ids; scopings; data sources (paths under keys); byte streams; operators that compute ("scale",
// "add"). Objects are reference counted: one reference per owner, released with release().
// Serialization turns fields and scopings into bytes and back, the same bytes on both sides, so an
// object fetched from the server can be rebuilt in process.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tvxsample {

enum class Kind : std::uint8_t { Field = 1, Scoping = 2, DataSources = 3, Stream = 4, Operator = 5, Client = 6 };

// What messages call an object of `kind`: "a field", "data sources", "a serialization stream".
const char* kind_name(Kind kind);

// The protocol the sample server speaks, and the key under which data sources hold its address.
inline constexpr const char* kServerProtocol = "grpc";

// The base of every object: a kind and a reference count.
class Object {
public:
    explicit Object(Kind kind) : kind_(kind) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    Kind kind() const { return kind_; }
    Object* add_ref() {
        refs_.fetch_add(1, std::memory_order_relaxed);
        return this;
    }
    // Drops one reference; the object is destroyed with the last one.
    void release() {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

private:
    Kind kind_;
    std::atomic<int> refs_{1};
};

// Releases its reference when it goes: for objects an operator or a field holds on to.
struct Ref {
    Object* p = nullptr;
    Ref() = default;
    explicit Ref(Object* adopt) : p(adopt) {}
    Ref(const Ref& o) : p(o.p ? o.p->add_ref() : nullptr) {}
    Ref& operator=(Ref o) {
        std::swap(p, o.p);
        return *this;
    }
    ~Ref() {
        if (p) p->release();
    }
};

class Scoping : public Object {
public:
    Scoping() : Object(Kind::Scoping) {}
    std::vector<int> ids;
};

class Field : public Object {
public:
    Field(int components, std::string location)
        : Object(Kind::Field), components(components), location(std::move(location)) {}
    int components;
    std::string location;
    std::vector<double> data;     // entity by entity, `components` values each
    Ref scoping;                  // a Scoping, or nothing

    int entities() const { return components > 0 ? static_cast<int>(data.size()) / components : 0; }
    Scoping* scoping_object() const { return static_cast<Scoping*>(scoping.p); }
};

class DataSources : public Object {
public:
    DataSources() : Object(Kind::DataSources) {}
    std::multimap<std::string, std::string> paths;  // key -> path
};

class Stream : public Object {
public:
    explicit Stream(std::string bytes) : Object(Kind::Stream), bytes(std::move(bytes)) {}
    std::string bytes;
};

// An operator: inputs by pin, a run, outputs by pin. Inputs are fields, doubles, ints, data sources
// or the output 0 of another operator (evaluated when this one runs).
class Operator : public Object {
public:
    explicit Operator(std::string name) : Object(Kind::Operator), name(std::move(name)) {}
    const std::string name;

    virtual void connect_field(int pin, Field* field);
    virtual void connect_double(int pin, double value);
    virtual void connect_int(int pin, int value);
    virtual void connect_data_sources(int pin, DataSources* sources);
    virtual void connect_operator(int pin, Operator* upstream);
    // Computes the outputs from the inputs; throws std::runtime_error with a readable reason.
    virtual void run() = 0;
    // A new reference to output `pin` after running when needed; throws when there is none.
    virtual Field* output_field(int pin);
    virtual Operator* output_operator(int pin);

protected:
    struct Input {
        Ref object;  // a Field, DataSources or Operator
        double number = 0;
        bool has_number = false;
    };
    std::map<int, Input> inputs_;
    std::map<int, Ref> outputs_;
    bool ran_ = false;

    // The field at `pin`: a connected field, or output 0 of a connected operator (run first).
    Ref input_field(int pin);
    double input_double(int pin);
    const Input* input(int pin) const;
    void set_output(int pin, Object* adopt);
};

// Operators by name: what Operator_new and the server's CreateOperator make.
struct OperatorMaker {
    const char* name;
    Operator* (*make)();
};

class OperatorTable {
public:
    OperatorTable(std::initializer_list<OperatorMaker> makers) : makers_(makers) {}
    // This table with `more` after its own operators.
    OperatorTable with(std::initializer_list<OperatorMaker> more) const;
    // A new operator called `name`, or null when the table has none.
    Operator* make(const std::string& name) const;
    // The names, quoted, for messages: "scale" and "add".
    std::string names() const;

private:
    std::vector<OperatorMaker> makers_;
};

// The framework's operators, "scale" and "add". The in-process sample adds its own
// "remote_operator_instantiate" on top.
const OperatorTable& framework_operators();

// Serialization of fields and scopings: a versioned little-endian layout both sides share.
std::string serialize(const Object& object);
// Rebuilds an object from bytes (a new reference); throws std::runtime_error on malformed input.
Object* deserialize(const std::string& bytes);

}  // namespace tvxsample
