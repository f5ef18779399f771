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
