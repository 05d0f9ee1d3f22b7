// The tracing library's runtime: what every generated entry calls to record itself.
//
// A call is recorded into buffers of its own thread (a text line, a timeline event, the entry's
// figures), so threads never wait on each other but for the handle table; whole buffers are written
// out with one write each, so lines and events of different threads never interleave. Handles get
// short ids in the order they appear ("Field#12"); a call on a handle already released is reported
// and not forwarded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cwchar>

namespace tvxtrace {

using Symbol = void (*)();
struct ThreadState;

// The real library's entries, by export index (trace_entries.gen.cpp numbers them).
extern Symbol g_real[];
extern const char* const kEntryNames[];
extern const int kEntryCount;

class Call {
public:
    explicit Call(int entry) noexcept;
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // False for a call the library makes on its own account while serving another (forwarded
    // untouched) and once tracing has ended.
    bool active() const noexcept { return state_ != nullptr; }

    // Arguments, in order.
    bool handle(const void* h) noexcept;  // false: a released handle, not to be forwarded
    void number(long long v) noexcept;
    void unsigned_number(unsigned long long v) noexcept;
    void real(double v) noexcept;
    void boolean(bool v) noexcept;
    void text(const char* s) noexcept;
    void wide_text(const wchar_t* s) noexcept;
    void pointer(const void* p) noexcept;
    void out(const char* name, const void* p) noexcept;  // an output: "&name", its value after the call
    template <class T>
    void numbers(const T* values, long long count) noexcept;
    void bytes(const char* data, long long count) noexcept;
    void texts(const char* const* items, long long count) noexcept;
    void handles(const void* const* items, long long count) noexcept;

    // The call itself.
    void start() noexcept;
    void stop() noexcept;

    // Results, after stop().
    void result_number(long long v) noexcept;
    void result_unsigned(unsigned long long v) noexcept;
    void result_real(double v) noexcept;
    void result_boolean(bool v) noexcept;
    void result_text(const char* s) noexcept;
    void result_owned_text(const char* s) noexcept;  // handed back later: followed for the leak report
    void result_pointer(const void* p) noexcept;
    void result_owned_array(const void* p) noexcept;
    template <class T>
    void result_numbers(const T* values, long long count) noexcept;
    void result_handle(const void* h, const char* label) noexcept;
    void result_handles(const void* const* items, long long count) noexcept;
    void output_number(const char* name, long long v) noexcept;
    void output_real(const char* name, double v) noexcept;
    void error(const int* size, wchar_t* const* message) noexcept;

    // Before a release: whether the handle was moved into the common library.
    void note_moved(const void* h) noexcept;

    // What releasing entries did.
    void released(const void* h, bool succeeded) noexcept;  // a handle
    void handed_back(const void* p) noexcept;               // a string or array of the library

    // Refuses a call on a released handle: the error pair (when there is one) says why.
    void refuse(int* size, wchar_t** message) noexcept;

private:
    ThreadState* state_;   // null: not recorded
    ThreadState* thread_;  // the thread whose call depth this call raised
    int entry_;
    std::uint64_t seq_ = 0;
    std::uint64_t begin_ = 0, end_ = 0;
    bool failed_ = false;
    bool first_arg_ = true;
    const char* refusal_ = nullptr;
    void separator() noexcept;
    template <class T, class Show>
    void list(const T* items, long long count, Show show) noexcept;
};

}  // namespace tvxtrace
