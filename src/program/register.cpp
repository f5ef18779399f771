#include "program/register.h"

#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace vorna {

const char* const kPanicFallbackMessage = "panic: the error message could not be formatted.";

void set_field(uint32_t* word, const RegDetail& field, uint32_t value) {
    const auto mask = static_cast<uint32_t>((uint64_t{1} << (field.width % 64)) - 1);
    if (value > mask) {
        const std::string text = "Attempted to write value " + std::to_string(value) + " into a " +
                                 std::to_string(field.width) +
                                 "-bit field, which will cause an overflow.";
        panic("%s", text.c_str());
    }
    const uint32_t shift = field.shift % 32;
    *word = (*word & ~(mask << shift)) | ((value & mask) << shift);
}

void set_bit(uint32_t* word, uint32_t bit, bool value) {
    if (value) {
        *word |= 1u << bit;
    } else {
        *word &= ~(1u << bit);
    }
}

uint32_t checked_field_value(uint64_t value, uint32_t width) {
    const uint64_t max = width >= 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
    if (value > max) {
        panic("Attempted to write value %llu into a %u-bit field, which will cause an overflow.",
              static_cast<unsigned long long>(value), width);
    }
    return static_cast<uint32_t>(value);
}

void put_field(uint32_t* word, const RegDetail& field, uint64_t value) {
    set_field(word, field, checked_field_value(value, field.width));
}

uint64_t one_hot(uint8_t id) { return id < 64 ? uint64_t{1} << id : ~uint64_t{0}; }

void set_one_hot_field(uint32_t* word, const RegDetail& field, uint8_t id) {
    put_field(word, field, one_hot(id));
}

extern "C" void panic(const char* format, ...) {
    char buffer[257];
    int length = -1;
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        length = std::vsnprintf(buffer, sizeof(buffer), format, args);
        va_end(args);
    }
    if (length < 1) throw std::runtime_error(kPanicFallbackMessage);
    throw std::runtime_error(buffer);
}

}  // namespace vorna
