// The C++ binding compiles on its own, first in its unit, with warnings beyond the project's own
// (shadowing, conversions, old-style casts), as a client's stricter build may enable them.
#include "TVXClientAPI.hpp"

#include <type_traits>

// Owners move and never copy; the parameter types take what they promise and nothing else.
static_assert(!std::is_copy_constructible<tvx::Object>::value, "an owner is not copied");
static_assert(std::is_nothrow_move_constructible<tvx::Operator>::value, "an owner moves");
static_assert(std::is_nothrow_move_assignable<tvx::Vector>::value, "an owner moves");
static_assert(!std::is_copy_constructible<tvx::Library>::value, "a library is not copied");
static_assert(std::is_convertible<const tvx::Workflow&, tvx::Ref>::value, "an owner is borrowed");
static_assert(std::is_convertible<TvxObject*, tvx::Ref>::value, "a raw handle is borrowed");
static_assert(!std::is_convertible<const tvx::Vector&, tvx::Ref>::value, "a vector is no object");
static_assert(!std::is_convertible<tvx::Object&, tvx::Sink>::value, "a releasing entry takes a moved owner");
static_assert(std::is_convertible<tvx::Object&&, tvx::Sink>::value, "a releasing entry takes a moved owner");
static_assert(!std::is_convertible<tvx::Object&&, tvx::Operator>::value, "owners of two classes do not mix");
static_assert(std::is_same<decltype(tvx::Quorix_deserializeMany(nullptr, 0)), std::vector<tvx::Object>>::value,
              "an array of handles comes back as owners");
static_assert(std::is_same<decltype(tvx::Operator_new("")), tvx::Operator>::value, "an operator's owner");
static_assert(std::is_same<decltype(tvx::CSField_GetData(nullptr)), std::vector<double>>::value, "a copied array");

int tvx_cpp_header_strict_check();
int tvx_cpp_header_strict_check() { return static_cast<int>(sizeof(tvx::Error)); }

// The overloads on views, compiled under the same warnings (never run): their templates are only
// instantiated where they are used.
void tvx_cpp_header_strict_views(TvxObject* field, SharedTvxVector* vector);
void tvx_cpp_header_strict_views(TvxObject* field, SharedTvxVector* vector) {
    const std::vector<double> values{1, 2};
    tvx::CSField_SetData(field, values);
    const std::size_t sizes[2] = {1, 1};
    tvx::CSStringField_SetData_with_size(field, std::vector<std::string>{"a", "b"}, sizes);
    tvx::TvxVector_char_commit(vector, "text", true);
    const tvx::Object restored = tvx::Quorix_deserialize(std::string_view("bytes"));
}
