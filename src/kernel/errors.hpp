// Failures of the kernel. Every inconsistency met during a search aborts the whole
// call with a fixed message; the binding layer turns it into PanicException.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace plov {

class Failure : public std::exception {
public:
    explicit Failure(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

[[noreturn]] inline void fail(std::string message) { throw Failure(std::move(message)); }

// Long work stopped because its caller asked it to (see the `poll` callbacks).
class Cancelled : public std::exception {
public:
    const char* what() const noexcept override { return "cancelled"; }
};

[[noreturn]] inline void fail_capacity() { fail("capacity overflow"); }

// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn]] inline void fail_index(std::uint64_t len, std::uint64_t index) {
    fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index));
}

// Checked element access: `index` must be below `len`.
inline void check_index(std::uint64_t index, std::uint64_t len) {
    if (index >= len) [[unlikely]]
        fail_index(len, index);
}

[[noreturn]] inline void fail_range_start(std::uint64_t start, std::uint64_t len) {
    fail("range start index " + std::to_string(start) + " out of range for slice of length " + std::to_string(len));
}

[[noreturn]] inline void fail_range_end(std::uint64_t end, std::uint64_t len) {
    fail("range end index " + std::to_string(end) + " out of range for slice of length " + std::to_string(len));
}

[[noreturn]] inline void fail_range_order(std::uint64_t start, std::uint64_t end) {
    fail("slice index starts at " + std::to_string(start) + " but ends at " + std::to_string(end));
}

}  // namespace plov
