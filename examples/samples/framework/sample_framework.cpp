#include "sample_framework.h"

#include <cstring>

namespace tvxsample {

// --- operators -------------------------------------------------------------------------------

void Operator::connect_field(int pin, Field* field) {
    Input in;
    in.object = Ref(field->add_ref());
    inputs_[pin] = in;
    ran_ = false;
}

void Operator::connect_double(int pin, double value) {
    Input in;
    in.number = value;
    in.has_number = true;
    inputs_[pin] = in;
    ran_ = false;
}

void Operator::connect_int(int pin, int value) { connect_double(pin, value); }

void Operator::connect_data_sources(int pin, DataSources* sources) {
    Input in;
    in.object = Ref(sources->add_ref());
    inputs_[pin] = in;
    ran_ = false;
}

void Operator::connect_operator(int pin, Operator* upstream) {
    if (upstream == this) throw std::runtime_error("an operator cannot be its own input");
    Input in;
    in.object = Ref(upstream->add_ref());
    inputs_[pin] = in;
    ran_ = false;
}

const Operator::Input* Operator::input(int pin) const {
    auto it = inputs_.find(pin);
    return it == inputs_.end() ? nullptr : &it->second;
}

Ref Operator::input_field(int pin) {
    const Input* in = input(pin);
    if (in == nullptr || in->object.p == nullptr)
        throw std::runtime_error(name + ": no field on pin " + std::to_string(pin));
    if (in->object.p->kind() == Kind::Field) return in->object;
    if (in->object.p->kind() == Kind::Operator)
        return Ref(static_cast<Operator*>(in->object.p)->output_field(0));
    throw std::runtime_error(name + ": pin " + std::to_string(pin) + " does not hold a field");
}

double Operator::input_double(int pin) {
    const Input* in = input(pin);
    if (in == nullptr || !in->has_number) throw std::runtime_error(name + ": no number on pin " + std::to_string(pin));
    return in->number;
}

void Operator::set_output(int pin, Object* adopt) { outputs_[pin] = Ref(adopt); }

Field* Operator::output_field(int pin) {
    if (!ran_) {
        run();
        ran_ = true;
    }
    auto it = outputs_.find(pin);
    if (it == outputs_.end() || it->second.p == nullptr || it->second.p->kind() != Kind::Field)
        throw std::runtime_error(name + ": no field on output pin " + std::to_string(pin));
    return static_cast<Field*>(it->second.p->add_ref());
}

Operator* Operator::output_operator(int pin) {
    if (!ran_) {
        run();
        ran_ = true;
    }
    auto it = outputs_.find(pin);
    if (it == outputs_.end() || it->second.p == nullptr || it->second.p->kind() != Kind::Operator)
        throw std::runtime_error(name + ": no operator on output pin " + std::to_string(pin));
    return static_cast<Operator*>(it->second.p->add_ref());
}

namespace {

Field* copy_shape(const Field& from) {
    auto* out = new Field(from.components, from.location);
    out->scoping = from.scoping;
    return out;
}

// "scale": pin 0 a field, pin 1 a factor; output 0 the field times the factor.
class Scale final : public Operator {
public:
    Scale() : Operator("scale") {}
    void run() override {
        Ref in = input_field(0);
        const double factor = input_double(1);
        const Field& f = *static_cast<Field*>(in.p);
        Field* out = copy_shape(f);
        out->data.reserve(f.data.size());
        for (double v : f.data) out->data.push_back(v * factor);
        set_output(0, out);
        ran_ = true;
    }
};

// "add": pins 0 and 1 two fields of one shape; output 0 their sum, entity by entity.
class Add final : public Operator {
public:
    Add() : Operator("add") {}
    void run() override {
        Ref a = input_field(0);
        Ref b = input_field(1);
        const Field& x = *static_cast<Field*>(a.p);
        const Field& y = *static_cast<Field*>(b.p);
        if (x.components != y.components || x.data.size() != y.data.size())
            throw std::runtime_error("add: the two fields differ in shape (" + std::to_string(x.data.size()) +
                                     " and " + std::to_string(y.data.size()) + " values)");
        Field* out = copy_shape(x);
        out->data.resize(x.data.size());
        for (std::size_t i = 0; i < x.data.size(); ++i) out->data[i] = x.data[i] + y.data[i];
        set_output(0, out);
        ran_ = true;
    }
};

// --- serialization ---------------------------------------------------------------------------
// "TVXS" 1, kind, then for a scoping: count, ids; for a field: components, location length and
// bytes, value count, values, has-scoping flag and the scoping's ids. Integers are 32-bit and
// doubles 64-bit, little-endian.

constexpr char kMagic[4] = {'T', 'V', 'X', 'S'};
constexpr std::uint8_t kVersion = 1;
constexpr std::uint32_t kMaxCount = 1u << 26;  // 64 Mi values: a bound against hostile input

void put_u32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put_f64(std::string& out, double d) {
    std::uint64_t v;
    std::memcpy(&v, &d, sizeof v);
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put_ids(std::string& out, const std::vector<int>& ids) {
    put_u32(out, static_cast<std::uint32_t>(ids.size()));
    for (int id : ids) put_u32(out, static_cast<std::uint32_t>(id));
}

class Reader {
public:
    explicit Reader(const std::string& bytes) : bytes_(bytes) {}
    std::uint8_t u8() {
        need(1);
        return static_cast<std::uint8_t>(bytes_[pos_++]);
    }
    std::uint32_t u32() {
        need(4);
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes_[pos_++])) << (8 * i);
        return v;
    }
    double f64() {
        need(8);
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes_[pos_++])) << (8 * i);
        double d;
        std::memcpy(&d, &v, sizeof d);
        return d;
    }
    std::uint32_t count(std::size_t item_size) {
        const std::uint32_t n = u32();
        if (n > kMaxCount || n * item_size > bytes_.size() - pos_) throw std::runtime_error("serialized object: bad count");
        return n;
    }
    std::string text(std::uint32_t n) {
        need(n);
        std::string s = bytes_.substr(pos_, n);
        pos_ += n;
        return s;
    }
    std::vector<int> ids() {
        const std::uint32_t n = count(4);
        std::vector<int> out(n);
        for (auto& id : out) id = static_cast<int>(u32());
        return out;
    }
    void end() const {
        if (pos_ != bytes_.size()) throw std::runtime_error("serialized object: trailing bytes");
    }

private:
    void need(std::size_t n) const {
        if (bytes_.size() - pos_ < n) throw std::runtime_error("serialized object: truncated");
    }
    const std::string& bytes_;
    std::size_t pos_ = 0;
};

}  // namespace

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::Field: return "a field";
        case Kind::Scoping: return "a scoping";
        case Kind::DataSources: return "data sources";
        case Kind::Stream: return "a serialization stream";
        case Kind::Operator: return "an operator";
        case Kind::Client: return "a client";
    }
    return "an unknown object";
}

OperatorTable OperatorTable::with(std::initializer_list<OperatorMaker> more) const {
    OperatorTable table = *this;
    table.makers_.insert(table.makers_.end(), more.begin(), more.end());
    return table;
}

Operator* OperatorTable::make(const std::string& name) const {
    for (const OperatorMaker& maker : makers_)
        if (name == maker.name) return maker.make();
    return nullptr;
}

std::string OperatorTable::names() const {
    std::string text;
    for (std::size_t i = 0; i < makers_.size(); ++i) {
        if (i > 0) text += i + 1 < makers_.size() ? ", " : " and ";
        text += std::string("\"") + makers_[i].name + "\"";
    }
    return text;
}

const OperatorTable& framework_operators() {
    static const OperatorTable table{{"scale", []() -> Operator* { return new Scale; }},
                                     {"add", []() -> Operator* { return new Add; }}};
    return table;
}

std::string serialize(const Object& object) {
    std::string out(kMagic, sizeof kMagic);
    out.push_back(static_cast<char>(kVersion));
    out.push_back(static_cast<char>(object.kind()));
    if (object.kind() == Kind::Scoping) {
        put_ids(out, static_cast<const Scoping&>(object).ids);
    } else if (object.kind() == Kind::Field) {
        const auto& f = static_cast<const Field&>(object);
        put_u32(out, static_cast<std::uint32_t>(f.components));
        put_u32(out, static_cast<std::uint32_t>(f.location.size()));
        out += f.location;
        put_u32(out, static_cast<std::uint32_t>(f.data.size()));
        for (double v : f.data) put_f64(out, v);
        const Scoping* s = f.scoping_object();
        out.push_back(s != nullptr ? 1 : 0);
        if (s != nullptr) put_ids(out, s->ids);
    } else {
        throw std::runtime_error("only fields and scopings can be serialized");
    }
    return out;
}

Object* deserialize(const std::string& bytes) {
    Reader r(bytes);
    if (r.text(4) != std::string(kMagic, sizeof kMagic)) throw std::runtime_error("serialized object: bad header");
    if (r.u8() != kVersion) throw std::runtime_error("serialized object: unknown version");
    const auto kind = static_cast<Kind>(r.u8());
    if (kind == Kind::Scoping) {
        auto* s = new Scoping;
        Ref guard(s);  // released if reading fails below
        s->ids = r.ids();
        r.end();
        guard.p = nullptr;  // handed to the caller
        return s;
    }
    if (kind == Kind::Field) {
        const std::uint32_t components = r.u32();
        if (components == 0 || components > 1024) throw std::runtime_error("serialized object: bad component count");
        std::string location = r.text(r.count(1));
        auto* f = new Field(static_cast<int>(components), std::move(location));
        Ref guard(f);  // released if reading fails below
        const std::uint32_t n = r.count(8);
        f->data.resize(n);
        for (auto& v : f->data) v = r.f64();
        if (r.u8() != 0) {
            auto* s = new Scoping;
            f->scoping = Ref(s);
            s->ids = r.ids();
        }
        r.end();
        guard.p = nullptr;  // handed to the caller
        return f;
    }
    throw std::runtime_error("serialized object: unknown kind");
}

}  // namespace tvxsample
