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

namespace {
constexpr SizeCount kMaxCount = ~SizeCount{0};
}  // namespace

SizeCount size_product(std::initializer_list<SizeCount> factors) {
    SizeCount product = 1;
    bool saturated = false;
    for (SizeCount f : factors) {
        if (f == 0) return 0;
        if (product > kMaxCount / f) saturated = true;
        product = saturated ? kMaxCount : product * f;
    }
    return product;
}

SizeCount size_sum(SizeCount a, SizeCount b) { return a > kMaxCount - b ? kMaxCount : a + b; }

uint64_t saturated64(SizeCount count) {
    constexpr uint64_t kMax64 = ~uint64_t{0};
    return count > kMax64 ? kMax64 : static_cast<uint64_t>(count);
}

std::string decimal_text(SizeCount value) {
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
    SizeCount n = 1;
    for (uint32_t i = 0; i < count; ++i) n = size_product({n, dims[i]});
    return static_cast<size_t>(saturated64(n));
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
