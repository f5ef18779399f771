#pragma once

// Register-field writer shared by every IP back end, and panic, the
// printf-style fatal-error routine.

#include <cstdint>

#include "export.h"

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

// Sets (`value` true) or clears bit `bit` (0 to 31) of *word.
void set_bit(uint32_t* word, uint32_t bit, bool value);

// set_field for values computed in 64 bits: a value past the field's width panics with the
// same text quoting the full value, so that a product past 32 bits is reported, not cut.
void put_field(uint32_t* word, const RegDetail& field, uint64_t value);

// `value` itself, after checking that it fits a field of `width` bits; a value that does
// not fit panics with the overflow text of set_field.
uint32_t checked_field_value(uint64_t value, uint32_t width);

// 1 << id, the one-hot NP number of NP fields, kept exact for every id that fits 64 bits
// so that an overflow text quotes the real value.
uint64_t one_hot(uint8_t id);

// Writes the one-hot NP number of `id` into the field; an id past the field's width
// panics with the overflow text.
void set_one_hot_field(uint32_t* word, const RegDetail& field, uint8_t id);

// Formats the message printf-style (cut to 256 characters) and throws it as
// std::runtime_error. Never returns. A formatting that yields no text throws
// a fixed fallback message instead. The module exports it to the core library under
// the plain name "panic"; the module's own calls always reach this definition.
extern "C" [[noreturn]] VORNA_EXPORT void panic(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// The message thrown when formatting yields no text.
extern const char* const kPanicFallbackMessage;

}  // namespace vorna
