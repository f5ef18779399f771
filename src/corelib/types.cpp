#include "corelib/types.h"

#include <stdexcept>
#include <string>

#include "program/register.h"

namespace vorna {

Shape::Shape(std::initializer_list<uint32_t> d) { assign(d.begin(), d.size()); }

Shape::Shape(const std::vector<uint32_t>& d) { assign(d.data(), d.size()); }

void Shape::assign(const uint32_t* d, size_t n) {
    if (n > MAX_DIMS) {
        throw std::invalid_argument("Cannot have a shape with more than " +
                                    std::to_string(MAX_DIMS) + " dimensions.");
    }
    for (size_t i = 0; i < n; ++i) {
        if (d[i] == 0) panic("Cannot have a shape with a dimension set to 0");
    }
    for (size_t i = 0; i < n; ++i) dims[i] = d[i];
    count = static_cast<uint32_t>(n);
}

std::string decimal_text(unsigned __int128 value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
        value /= 10;
    } while (value != 0);
    return digits;
}

Shape shape3(uint32_t x, uint32_t y, uint32_t c) {
    Shape s;
    s.dims[0] = x;
    s.dims[1] = y;
    s.dims[2] = c;
    s.count = 3;
    return s;
}

size_t Shape::element_count() const {
    if (count == 0) return 0;
    size_t n = 1;
    for (uint32_t i = 0; i < count; ++i) n *= dims[i];
    return n;
}

std::vector<uint32_t> Shape::to_vector() const { return std::vector<uint32_t>(begin(), end()); }

bool Shape::operator==(const Shape& o) const {
    if (count != o.count) return false;
    for (uint32_t i = 0; i < count; ++i) {
        if (dims[i] != o.dims[i]) return false;
    }
    return true;
}

}  // namespace vorna
