#pragma once

// Register-field writer shared by every IP back end, and panic, the
// printf-style fatal-error routine.

#include <cstdint>

namespace vorna {

// One bit field of a 32-bit register word: its lowest bit (taken modulo 32)
// and its width in bits.
struct RegDetail {
    uint32_t shift;
    uint32_t width;
};

// Writes value into the field of *word, keeping every other bit. A value
// that does not fit the width panics with "Attempted to write value <v> into
// a <w>-bit field, which will cause an overflow." and leaves *word as it was.
// The mask is built from the width modulo 64: widths 32 to 63 accept any
// value, widths 0 and 64 only 0.
void set_field(uint32_t* word, const RegDetail& field, uint32_t value);

// Formats the message printf-style (cut to 256 characters) and throws it as
// std::runtime_error. Never returns. A formatting that yields no text throws
// a fixed fallback message instead. Exported with the plain name "panic".
extern "C" [[noreturn]] void panic(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The message thrown when formatting yields no text.
extern const char* const kPanicFallbackMessage;

}  // namespace vorna
