// A one-shot zlib-stream inflater: the whole stream in, the whole output out, no streaming state
// and no history window (the output is the history). Pure byte work, no interpreter in sight.
//
// It answers exactly as zlib 1.2.13's inflate() given the whole input and an unbounded output
// would: the same bytes, the same count, and the same refusals (header, block types, code sets,
// invalid symbols, distances before the start, Adler-32, a stream cut short).
#pragma once

#include <cstddef>
#include <cstdint>

namespace si::inflate {

enum class Status : uint8_t {
    End,    // the stream ended with a matching Adler-32; `produced` bytes were written
    Full,   // the stream holds more than `cap` bytes; the first `cap` were written
    Error,  // the stream is invalid or cut short; `produced` bytes were written before that
};

struct Result {
    Status status;
    size_t produced;
};

// Inflates the zlib stream in in[0, inLen) into out[0, cap). Never reads outside the input
// span, never writes outside out[0, cap); bytes after the end of the stream are ignored. On
// End or Error, out[produced, cap) may have been overwritten. Reentrant: the only shared state
// is a table built once and the CPU dispatch.
Result zlibInflate(const uint8_t* in, size_t inLen, uint8_t* out, size_t cap) noexcept;

// For tests: the fast loop is built twice (plain, and for BMI2, chosen at run time when the
// CPU has it); these run a given build, so that both are checked on a CPU that picks one.
namespace detail {
enum class FastLoop { Baseline, Bmi2 };
bool hasFastLoop(FastLoop which) noexcept;
// zlibInflate with the given build; {Error, 0} when this CPU cannot run it.
Result zlibInflateUsing(FastLoop which, const uint8_t* in, size_t inLen, uint8_t* out, size_t cap) noexcept;
}  // namespace detail

}  // namespace si::inflate
