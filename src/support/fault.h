// How the library reports failure: every operation that can fail returns a Fault (none on
// success), or a Result carrying its value and a Fault. The library never prints why; the
// caller, who knows which movie and bitmap it is working on, prints the one line and decides
// what the failure means for the run (a bitmap skipped for bad data, a bitmap not written).
#pragma once

#include <cstdint>
#include <utility>

enum class Fault : uint8_t {
    none,
    malformed,      // the input breaks its own format
    truncated,      // the input ends before what it announces is complete
    unsupported,    // a valid form this program does not read
    out_of_memory,  // an allocation failed
    too_large,      // past a size limit of this program or the system
    io_error,       // the system refused a read or a write
};

// A short English phrase for a line: "malformed data", "out of memory", ...
const char* fault_text(Fault fault);

// True for the faults that mean "could not be done here" rather than "bad input": the
// bitmap counts as not written, not as skipped.
constexpr bool fault_is_resource(Fault fault)
{
    return fault == Fault::out_of_memory || fault == Fault::too_large || fault == Fault::io_error;
}

template <class T>
struct Result {
    T value{};
    Fault fault = Fault::none;

    Result() = default;
    Result(T v) : value(std::move(v)) {}  // NOLINT: a value converts to its success
    Result(Fault f) : fault(f) {}         // NOLINT: a fault converts to its failure

    bool ok() const { return fault == Fault::none; }
};
