// The error pair's building blocks: UTF-8 decoding, storing, capturing and extending messages.
#include <stdexcept>
#include <string>

#include "dispatch/error.h"
#include "tests/support/test_support.h"

namespace {

using tvx::decode_utf8;

std::wstring wide(std::initializer_list<unsigned long> chars) {
    std::wstring s;
    for (unsigned long c : chars) s.push_back(static_cast<wchar_t>(c));
    return s;
}

// Characters above U+FFFF: a surrogate pair with a 16-bit wchar_t, one character otherwise.
std::wstring astral(unsigned long c) {
    if (sizeof(wchar_t) == 2) {
        const unsigned long v = c - 0x10000;
        return wide({0xD800 + (v >> 10), 0xDC00 + (v & 0x3FF)});
    }
    return wide({c});
}

TEST(DecodeUtf8, ValidSequencesOfEveryLength) {
    EXPECT_EQ(decode_utf8("plain ascii"), L"plain ascii");
    EXPECT_EQ(decode_utf8("\xC3\xA9"), wide({0xE9}));
    EXPECT_EQ(decode_utf8("\xE2\x82\xAC"), wide({0x20AC}));
    EXPECT_EQ(decode_utf8("\xF0\x9F\x98\x80"), astral(0x1F600));
    EXPECT_EQ(decode_utf8("\xF4\x8F\xBF\xBF"), astral(0x10FFFF));
    EXPECT_EQ(decode_utf8("a\xC3\xA9" "b\xF0\x9F\x98\x80" "c"), L"a" + wide({0xE9}) + L"b" + astral(0x1F600) + L"c");
    EXPECT_EQ(decode_utf8(std::string("a\0b", 3)), wide({'a', 0, 'b'}));
}

TEST(DecodeUtf8, DropsWhatIsNotValid) {
    // A lead byte followed by a byte that does not continue it: both consumed, nothing produced.
    EXPECT_EQ(decode_utf8("\xE9x"), L"");
    EXPECT_EQ(decode_utf8("\xE9xy"), L"y");
    // Invalid lead bytes and stray continuation bytes.
    EXPECT_EQ(decode_utf8("\xC0\xAF"), L"");
    EXPECT_EQ(decode_utf8("a\x80\xBF\xC1\xF5\xFF" "b"), L"ab");
    // Overlong forms, surrogates and values above U+10FFFF.
    EXPECT_EQ(decode_utf8("\xE0\x80\x80"), L"");
    EXPECT_EQ(decode_utf8("\xE0\x9F\xBF"), L"");
    EXPECT_EQ(decode_utf8("\xF0\x8F\xBF\xBF"), L"");
    EXPECT_EQ(decode_utf8("\xED\xA0\x80x"), L"x");
    EXPECT_EQ(decode_utf8("\xF4\x90\x80\x80"), L"");
    // The range ends inside a sequence: decoding stops there.
    EXPECT_EQ(decode_utf8("ok\xE2\x82"), L"ok");
    EXPECT_EQ(decode_utf8("ok\xF0"), L"ok");
}

TEST(ErrorPair, StoredMessagesCarryTheirSizeAndAreFreedByTheClientRule) {
    tvxtest::ErrorPair e;
    e.size = tvx::store_message(L"abc", &e.message);
    EXPECT_EQ(e.size, 4);
    EXPECT_EQ(e.text(), L"abc");
    e.clear();
    e.size = tvx::store_message(L"", &e.message);
    EXPECT_EQ(e.size, 1);  // an empty message is still a failure
    ASSERT_NE(e.message, nullptr);
    EXPECT_EQ(e.message[0], L'\0');
}

TEST(ErrorPair, InvalidApiMessageNamesTheEntryWhateverItsLength) {
    tvxtest::ErrorPair e;
    tvx::report_invalid_api("Field_new_on_client", &e.size, &e.message);
    EXPECT_EQ(e.text(), L"Invalid API pointer when calling function Field_new_on_client");
    EXPECT_EQ(e.size, static_cast<int>(e.text().size() + 1));
    e.clear();
    const std::string long_name(400, 'x');
    tvx::report_invalid_api(long_name.c_str(), &e.size, &e.message);
    EXPECT_EQ(e.text(), L"Invalid API pointer when calling function " + std::wstring(400, L'x'));
}

TEST(ErrorPair, AppendingCallContextExtendsTheOldMessageAndReplacesIt) {
    tvxtest::ErrorPair e;
    tvx::append_call_context("Operator_connect_Field", &e.size, &e.message);
    EXPECT_EQ(e.text(), L" when calling function Operator_connect_Field");
    EXPECT_EQ(e.size, static_cast<int>(e.text().size() + 1));

    // A buffer this library made in the open scope is released (a leak checker would report it
    // otherwise; a double free would be reported when the pair frees the new one).
    const tvx::OwnMessages scope;
    tvxtest::ErrorPair first;
    first.size = tvx::store_message(L"move failed", &first.message);
    tvx::append_call_context("Operator_run", &first.size, &first.message);
    EXPECT_EQ(first.text(), L"move failed when calling function Operator_run");
    EXPECT_EQ(first.size, static_cast<int>(first.text().size() + 1));

    // Another library's buffer is copied and left alone: freeing this one would abort.
    static wchar_t foreign[] = L"server said no";
    tvxtest::ErrorPair second;
    second.size = 15;
    second.message = foreign;
    tvx::append_call_context("Operator_run", &second.size, &second.message);
    EXPECT_EQ(second.text(), L"server said no when calling function Operator_run");
    EXPECT_NE(second.message, foreign);
    EXPECT_EQ(std::wstring(foreign), L"server said no");
    EXPECT_FALSE(tvx::OwnMessages::release(foreign));
}

TEST(ErrorPair, OnlyMessagesMadeInTheOpenScopeCountAsOurs) {
    wchar_t* before = nullptr;
    tvx::store_message(L"made outside any scope", &before);
    wchar_t* inside = nullptr;
    {
        const tvx::OwnMessages outer;
        EXPECT_FALSE(tvx::OwnMessages::release(before));  // not remembered: may be the caller's by now
        {
            const tvx::OwnMessages inner;
            tvx::store_message(L"made inside", &inside);
        }
        EXPECT_TRUE(tvx::OwnMessages::release(inside));   // the outer scope still remembers it
        EXPECT_FALSE(tvx::OwnMessages::release(inside));  // and only once
    }
    TVX_FreeErrorMessage(before);
}

TEST(Capture, SuccessClearsTheSizeAndLeavesTheMessageAlone) {
    int size = 77;
    wchar_t sentinel[] = L"untouched";
    wchar_t* message = sentinel;
    EXPECT_TRUE(tvx::capture(L"Entry", &size, &message, [] {}));
    EXPECT_EQ(size, 0);
    EXPECT_EQ(message, sentinel);
}

TEST(Capture, ExceptionsBecomeMessages) {
    tvxtest::ErrorPair e;
    EXPECT_FALSE(tvx::capture(L"Entry", &e.size, &e.message, [] { throw std::runtime_error("caf\xC3\xA9 \xFF!"); }));
    EXPECT_EQ(e.text(), L"caf" + wide({0xE9}) + L" !");
    EXPECT_EQ(e.size, 7);
    e.clear();

    EXPECT_FALSE(tvx::capture(L"Entry", &e.size, &e.message, [] { throw std::logic_error(""); }));
    EXPECT_EQ(e.size, 1);
    EXPECT_EQ(e.text(), L"");
    e.clear();

    EXPECT_FALSE(tvx::capture(L"QuorixCore_LoadAPI", &e.size, &e.message, [] { throw 42; }));
    EXPECT_EQ(e.text(), L"QuorixCore_LoadAPI error : -Unknown exception occurred-");
    e.clear();

    EXPECT_FALSE(tvx::capture(L"Entry", &e.size, &e.message, [] { throw std::bad_alloc(); }));
    EXPECT_EQ(e.text(), tvx::decode_utf8(std::bad_alloc().what()));
}

TEST(Capture, NullPairPointersAreNotWritten) {
    EXPECT_FALSE(tvx::capture(L"Entry", nullptr, nullptr, [] { throw std::runtime_error("x"); }));
    int size = 0;
    EXPECT_FALSE(tvx::capture(L"Entry", &size, nullptr, [] { throw std::runtime_error("abc"); }));
    EXPECT_EQ(size, 4);
}

TEST(EncodeUtf8, RoundTripsThroughTheDecoder) {
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
    EXPECT_EQ(tvx::encode_utf8(decode_utf8(text)), text);
}

}  // namespace
