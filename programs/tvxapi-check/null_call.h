// Calling any entry of the table with null objects, from its function type alone.
//
// Every argument gets the most harmless value of its type: objects (pointers to the library's
// opaque types) and callbacks null, numbers zero, every other pointer a zeroed buffer of its own
// (an empty text, an empty array, room for an out-parameter), and the error pair last. What came
// back is described for the report: whether the entry has a result and whether it was null.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "loader/entry_table.gen.h"
#include "platform/module.h"

namespace tvxcheck {

// The error pair as the checker passes it.
struct Pair {
    int size = 0;
    wchar_t* message = nullptr;
};

struct Outcome {
    bool has_pair = false;
    bool has_result = false;
    bool result_null = true;  // a null pointer, zero or false
    std::string result;       // the result as text, empty without one
};

// One zeroed buffer per pointer argument, large enough for any out-parameter or short array.
struct Scratch {
    alignas(16) unsigned char bytes[16][512];
    Scratch() { std::memset(bytes, 0, sizeof bytes); }
};

namespace detail {

template <class T>
using pointee = std::remove_cv_t<std::remove_pointer_t<T>>;

// An object: a pointer to one of the library's opaque class types.
template <class T>
constexpr bool is_object = std::is_pointer_v<T> && std::is_class_v<pointee<T>>;

template <class... A>
constexpr bool any_object = (is_object<A> || ...);

// The last two parameters are the error pair when they are int* and wchar_t**.
template <class... A>
constexpr bool ends_with_pair() {
    if constexpr (sizeof...(A) < 2) {
        return false;
    } else {
        using Args = std::tuple<A...>;
        return std::is_same_v<std::tuple_element_t<sizeof...(A) - 2, Args>, int*> &&
               std::is_same_v<std::tuple_element_t<sizeof...(A) - 1, Args>, wchar_t**>;
    }
}

template <class T>
T harmless(Scratch& scratch, std::size_t index) {
    if constexpr (std::is_pointer_v<T>) {
        using P = pointee<T>;
        if constexpr (std::is_class_v<P> || std::is_function_v<P> || std::is_void_v<P>)
            return nullptr;
        else
            return reinterpret_cast<T>(scratch.bytes[index % 16]);
    } else {
        return T{};
    }
}

// How the argument appears in a report.
template <class T>
const char* shown(bool pair) {
    if (pair) return "&size";
    if constexpr (std::is_pointer_v<T>) {
        using P = pointee<T>;
        if constexpr (std::is_class_v<P> || std::is_function_v<P> || std::is_void_v<P>)
            return "null";
        else if constexpr (std::is_same_v<P, char>)
            return "\"\"";
        else
            return "{0}";
    } else if constexpr (std::is_same_v<T, bool>) {
        return "false";
    } else {
        return "0";
    }
}

template <class R>
void describe(const R& r, Outcome& out) {
    out.has_result = true;
    if constexpr (std::is_pointer_v<R>) {
        out.result_null = r == nullptr;
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%p", reinterpret_cast<const void*>(r));
        out.result = r == nullptr ? "null" : buffer;
    } else if constexpr (std::is_same_v<R, bool>) {
        out.result_null = !r;
        out.result = r ? "true" : "false";
    } else if constexpr (std::is_floating_point_v<R>) {
        out.result_null = r == 0;
        out.result = std::to_string(r);
    } else {
        out.result_null = r == 0;
        out.result = std::to_string(static_cast<long long>(r));
    }
}

}  // namespace detail

struct NullCall {
    bool takes_objects;
    Outcome (*call)(tvx::platform::Symbol entry, Pair& pair);
    std::string (*arguments)();  // "null, 0, \"\", &size, &message"
};

template <class F>
struct NullCaller;

template <class R, class... A>
struct NullCaller<R (*)(A...)> {
    static constexpr bool kPair = detail::ends_with_pair<A...>();

    template <std::size_t... I>
    static Outcome call_with(R (*f)(A...), Pair& pair, Scratch& scratch, std::index_sequence<I...>) {
        Outcome out;
        out.has_pair = kPair;
        auto arg = [&](auto index) {
            constexpr std::size_t i = decltype(index)::value;
            using T = std::tuple_element_t<i, std::tuple<A...>>;
            if constexpr (kPair && i == sizeof...(A) - 2)
                return reinterpret_cast<T>(&pair.size);
            else if constexpr (kPair && i == sizeof...(A) - 1)
                return reinterpret_cast<T>(&pair.message);
            else
                return detail::harmless<T>(scratch, i);
        };
        if constexpr (std::is_void_v<R>) {
            f(arg(std::integral_constant<std::size_t, I>{})...);
        } else {
            const R r = f(arg(std::integral_constant<std::size_t, I>{})...);
            detail::describe(r, out);
        }
        return out;
    }

    static Outcome call(tvx::platform::Symbol entry, Pair& pair) {
        Scratch scratch;
        return call_with(reinterpret_cast<R (*)(A...)>(entry), pair, scratch, std::index_sequence_for<A...>{});
    }

    static std::string arguments() {
        std::string text;
        std::size_t i = 0;
        ((text += (i ? ", " : ""), text += detail::shown<A>(kPair && i == sizeof...(A) - 2), ++i), ...);
        if (kPair) text.replace(text.rfind(", "), std::string::npos, ", &message");
        return text;
    }

    static constexpr NullCall kCall{detail::any_object<A...>, &call, &arguments};
};

// One per slot, in slot order (null_calls.gen.cpp).
extern const NullCall kNullCalls[tvx::kSlotCount];

}  // namespace tvxcheck
