#include "backend/v1/cnp_weights.h"

#include <cstdlib>
#include <stdexcept>

#include "program/register.h"

namespace vorna::v1 {

namespace {

constexpr uint32_t kSaturated = 0xFFFFFFFFu;

uint32_t saturate(uint64_t v) { return v > kSaturated ? kSaturated : static_cast<uint32_t>(v); }

uint64_t ceil_div(uint64_t n, uint64_t d) { return (n + d - 1) / d; }
uint64_t round_up(uint64_t n, uint64_t m) { return ceil_div(n, m) * m; }

// ORs `value` into the 50-bit row `row` of an image at bit `pos`. The row is
// handled as one 64-bit slot, so a field that straddles bit 32 keeps its
// upper bits. A row outside [first_row, end_row) means the layout computed
// for the image does not hold the data: refuse rather than write elsewhere.
void or_row_bits(std::vector<uint32_t>& image, uint64_t first_row, uint64_t end_row, uint64_t row,
                 uint32_t pos, uint64_t value) {
    if (row < first_row || row >= end_row || 2 * row + 1 >= image.size() || pos >= 64) {
        throw std::runtime_error("CNP weights overflow their weight image.");
    }
    const uint64_t bits = value << pos;
    image[2 * row] |= static_cast<uint32_t>(bits);
    image[2 * row + 1] |= static_cast<uint32_t>(bits >> 32);
}

void check_filter_slice(const Dense& weights, uint32_t start, uint32_t count) {
    if (static_cast<uint64_t>(start) + count > weights.dimensions()[0]) {
        throw std::invalid_argument("CNP: the filter slice exceeds the filters of the weights.");
    }
}

uint32_t dim(const Dense& t, uint32_t i) {
    return i < t.dimensions().size() ? t.dimensions()[i] : 1;
}

// Rows of a 4-bit standard kernel group of 8 filters: 6, 16 and 42 for kernel
// sizes 3, 5 and 7.
uint32_t rows_per_4bit_group(uint32_t k) {
    switch (k) {
        case 3:
            return 6;
        case 5:
            return 16;
        case 7:
            return 42;
        default:
            throw std::runtime_error("Unsupported kernel size");
    }
}

// u of a 4-bit standard image: 32-bit word pairs per input channel, rounded
// up to a multiple of 16.
uint64_t std_4bit_rows(uint32_t k, uint32_t F) {
    uint64_t u;
    if (k == 1) {
        u = ceil_div(4ull * F, 48);
    } else {
        u = round_up(F, 8) * rows_per_4bit_group(k) / 8;
    }
    return round_up(u, 16);
}

// Rows of one channel block of a 1- or 2-bit standard image: the rows the
// kernels need, rounded up to 8.
uint64_t std_1_2bit_block_words(uint32_t k, uint64_t plane_bits) {
    const uint32_t r = std_cnp_kernels_per_row(k);
    if (r == 0) throw std::runtime_error("Unsupported kernel size");
    const uint64_t q = ceil_div(plane_bits, r);
    return 16 * ceil_div(q, 8);
}

// Kernel rows of a depthwise kernel that one weight row holds.
uint32_t dw_kernel_rows_per_row(uint32_t k, uint32_t bits) {
    const uint64_t row_bits = static_cast<uint64_t>(bits) * k;
    if (row_bits == 0 || row_bits > 50) {
        throw std::invalid_argument(
            "CNP: a depthwise kernel row of this width does not fit a weight row.");
    }
    return static_cast<uint32_t>(50 / row_bits);
}

uint64_t dw_rows(uint32_t k, uint32_t ch, uint32_t bits) {
    const uint32_t q = dw_kernel_rows_per_row(k, bits);
    if (q < 2 * k) return ceil_div(k, q) * ch;
    return ceil_div(ch, q / k);
}

uint32_t sign_magnitude4(int32_t v) {
    const uint32_t magnitude = static_cast<uint32_t>(std::abs(v)) % 8;
    return magnitude | (v > 0 ? 8u : 0u);
}

}  // namespace

template <int N>
uint32_t int32_to_intN(int32_t value) {
    constexpr int32_t lo = -(1 << (N - 1));
    constexpr int32_t hi = (1 << (N - 1)) - 1;
    if (value < lo || value > hi) panic("%d cannot fit in a %d bits signed integer.", value, N);
    return static_cast<uint32_t>(value) & ((1u << N) - 1);
}

template uint32_t int32_to_intN<2>(int32_t);
template uint32_t int32_to_intN<4>(int32_t);

uint32_t std_cnp_kernels_per_row(uint32_t kernel_size) {
    switch (kernel_size) {
        case 1:
            return 48;
        case 3:
            return 5;
        case 5:
            return 2;
        case 7:
            return 1;
        default:
            return 0;
    }
}

uint32_t get_std_cnp_sram_size(uint32_t k, uint32_t ch, uint32_t F, uint32_t b) {
    switch (b) {
        case 1: {
            const uint64_t R = k == 1 ? round_up(2ull * F, 16) : round_up(F, 8);
            return saturate(std_1_2bit_block_words(k, R) * ch);
        }
        case 2:
            return saturate(std_1_2bit_block_words(k, round_up(2ull * F, 16)) * ch);
        case 4:
            if (k != 1 && k != 3 && k != 5 && k != 7) {
                throw std::runtime_error("Unsupported kernel size");
            }
            return saturate(2ull * ch * std_4bit_rows(k, F));
        default:
            return kSaturated;
    }
}

namespace {

// The checked layout of the standard 1- or 2-bit weight image of `count`
// filters from `start`: one block of `block_words` words per input channel.
struct StdWeightLayout {
    uint32_t channels;
    uint32_t k;
    uint32_t planes;
    uint64_t block_words;
};

StdWeightLayout std_weight_layout(const std::shared_ptr<const Dense>& weights, bool two_planes,
                                  uint32_t start, uint32_t count) {
    if (!weights) throw std::invalid_argument("CNP: missing weights.");
    const Dense& w = *weights;
    const uint32_t channels = dim(w, 1);
    const uint32_t k = dim(w, 3);
    if (dim(w, 2) != k) throw std::runtime_error("CNP: width and height must be equal.");
    if (k == 1) two_planes = true;
    const uint32_t planes = two_planes ? 2 : 1;
    const uint64_t block_words = std_1_2bit_block_words(k, planes * round_up(count, 8));
    check_filter_slice(w, start, count);
    return {channels, k, planes, block_words};
}

// The checked rows of one input channel's block of the standard 4-bit weight
// image of `count` filters from `start`.
uint64_t std_4bit_block_rows(const Dense& w, uint32_t start, uint32_t count) {
    const uint32_t kernel_rows = dim(w, 2);
    const uint32_t k = dim(w, 3);
    const uint64_t block_rows = std_4bit_rows(k, count);  // throws for unsupported k
    if (k != 1 && kernel_rows > k) throw std::runtime_error("CNP: width and height must be equal.");
    check_filter_slice(w, start, count);
    return block_rows;
}

}  // namespace

size_t std_cnp_weight_words(const std::shared_ptr<const Dense>& weights, bool two_planes,
                            uint32_t start, uint32_t count) {
    const StdWeightLayout layout = std_weight_layout(weights, two_planes, start, count);
    return static_cast<size_t>(layout.block_words * layout.channels);
}

size_t std_cnp_4bit_weight_words(const Dense& w, uint32_t start, uint32_t count) {
    return static_cast<size_t>(2 * std_4bit_block_rows(w, start, count) * dim(w, 1));
}

std::vector<uint32_t> format_std_cnp_weights(const std::shared_ptr<const Dense>& weights,
                                             bool two_planes, uint32_t start, uint32_t count) {
    const auto [channels, k, planes, block_words] =
        std_weight_layout(weights, two_planes, start, count);
    const Dense& w = *weights;
    const uint32_t row_width = k == 1 ? 48 : 50;
    const uint32_t gap = (k == 3 || k == 7) ? 1 : 0;

    std::vector<uint32_t> image(static_cast<size_t>(block_words * channels), 0);
    const uint64_t block_rows = block_words / 2;
    for (uint32_t c = 0; c < channels; ++c) {
        const uint64_t first_row = c * block_rows;
        uint64_t row = first_row;
        uint32_t pos = 0;
        for (uint32_t f = start; f < start + count; ++f) {
            for (uint32_t plane = 0; plane < planes; ++plane) {
                const int8_t wanted = plane == 0 ? 1 : -1;
                for (uint32_t i = 0; i < k; ++i) {
                    for (uint32_t j = 0; j < k; ++j) {
                        if (w.get<int8_t>({f, c, i, j}) == wanted) {
                            or_row_bits(image, first_row, first_row + block_rows, row, pos, 1);
                        }
                        ++pos;
                    }
                }
                pos += gap;
                if (pos == row_width) {
                    ++row;
                    pos = 0;
                }
            }
        }
    }
    return image;
}

std::vector<uint32_t> format_4bits_std_cnp_weights(const Dense& w, uint32_t start, uint32_t count) {
    const uint64_t block_rows = std_4bit_block_rows(w, start, count);
    const uint32_t channels = dim(w, 1);
    const uint32_t kernel_rows = dim(w, 2);
    const uint32_t k = dim(w, 3);

    std::vector<uint32_t> image(static_cast<size_t>(2 * block_rows * channels), 0);
    for (uint32_t c = 0; c < channels; ++c) {
        const uint64_t first_row = c * block_rows;
        if (k == 1) {
            const size_t base = w.offset_of({start, c, 0, 0});
            for (uint32_t n = 0; n < count; ++n) {
                const uint32_t code = sign_magnitude4(w.at<int8_t>(base + n));
                or_row_bits(image, first_row, first_row + block_rows, first_row + n / 12,
                            (n % 12) * 4, code);
            }
            continue;
        }
        const uint32_t m = rows_per_4bit_group(k);
        const uint32_t row_width = k == 3 ? 48 : 50;
        const uint32_t groups = static_cast<uint32_t>(round_up(count, 8) / 8);
        for (uint32_t g = 0; g < groups; ++g) {
            const uint64_t group_row = first_row + static_cast<uint64_t>(m) * g;
            uint64_t row = group_row;
            uint32_t pos = 0;
            auto next_row = [&]() {
                ++row;
                pos = 0;
            };
            for (uint32_t i = 0; i < kernel_rows; ++i) {
                for (uint32_t s = 0; s < 8; ++s) {
                    const uint64_t f = static_cast<uint64_t>(start) + 8ull * g + s;
                    for (uint32_t j = 0; j < k; ++j) {
                        const uint32_t code = f < static_cast<uint64_t>(start) + count
                                                  ? sign_magnitude4(w.get<int8_t>(
                                                        {static_cast<uint32_t>(f), c, i, j}))
                                                  : 0;
                        for (uint32_t b = 0; b < 4; ++b) {
                            if (pos == row_width) next_row();
                            if ((code >> b) & 1u) {
                                or_row_bits(image, group_row, group_row + m, row, pos, 1);
                            }
                            ++pos;
                        }
                    }
                    if (k == 7 && (s == 2 || s == 5)) next_row();
                }
                if (k == 7) next_row();
            }
        }
    }
    return image;
}

std::vector<uint32_t> format_sep_cnp_dw_weights(const Dense& w, int bits) {
    const uint32_t k = dim(w, 3);
    const uint32_t channels = dim(w, 1);
    if (bits <= 0) throw std::invalid_argument("CNP: the depthwise weight width must be positive.");
    const uint32_t b = static_cast<uint32_t>(bits);
    const uint64_t rows = dw_rows(k, channels, b);
    std::vector<uint32_t> image(static_cast<size_t>(2 * rows), 0);

    uint64_t row = 0;
    uint32_t pos = 0;
    for (uint32_t c = 0; c < channels; ++c) {
        for (uint32_t i = 0; i < k; ++i) {
            if (b * k + pos > 50) {
                ++row;
                pos = 0;
            }
            for (uint32_t j = 0; j < k; ++j) {
                const int32_t v = w.get<int8_t>({0, c, i, j});
                const uint32_t code = b == 4 ? int32_to_intN<4>(v) : int32_to_intN<2>(v);
                or_row_bits(image, 0, rows, row, pos, code);
                pos += b;
            }
        }
        if (static_cast<uint64_t>(b) * k * k + pos > 50) {
            ++row;
            pos = 0;
        }
    }
    return image;
}

std::vector<uint32_t> format_sep_cnp_pw_weights(const Dense& w, int bits, uint32_t start,
                                                uint32_t count) {
    if (bits <= 0 || bits > 48) {
        throw std::invalid_argument("CNP: unsupported pointwise weight width.");
    }
    const uint32_t b = static_cast<uint32_t>(bits);
    const uint32_t filters = dim(w, 0);
    const uint32_t channels = dim(w, 1);
    check_filter_slice(w, start, count);
    const uint64_t n = get_nb_words_per_pw_channel(count, b);
    std::vector<uint32_t> image(static_cast<size_t>(channels * n * 2), 0);
    for (uint32_t c = 0; c < channels; ++c) {
        const uint64_t first_row = c * n;
        uint64_t row = first_row;
        uint32_t pos = 0;
        for (uint32_t f = start; f < start + count; ++f) {
            const int32_t v = w.at<int8_t>(static_cast<size_t>(c) * filters + f);
            const uint32_t code = b == 4 ? int32_to_intN<4>(v) : int32_to_intN<2>(v);
            or_row_bits(image, first_row, first_row + n, row, pos, code);
            pos += b;
            if (pos + b > 48) {
                ++row;
                pos = 0;
            }
        }
    }
    return image;
}

uint32_t get_dw_weights_sram_size(uint32_t k, uint32_t ch, uint32_t b) {
    return saturate(round_up(2 * dw_rows(k, ch, b), 16));
}

uint32_t get_nb_words_per_pw_channel(uint32_t F, uint32_t b) {
    const uint64_t bits = static_cast<uint64_t>(F) * b;
    uint64_t rows = ceil_div(bits, 48);
    const uint32_t partial = F % 8;
    if (partial != 0) {
        const uint64_t rem = bits % 48;
        const int64_t free_bits = rem == 0 ? 0 : static_cast<int64_t>(48 - rem);
        if (free_bits < 48 - static_cast<int64_t>(b) * partial) ++rows;
    }
    return saturate(rows);
}

uint32_t get_sep_cnp_sram_size(uint32_t k, uint32_t ch, uint32_t F, uint32_t b) {
    const uint64_t dw = get_dw_weights_sram_size(k, ch, b);
    const uint64_t pw = 2ull * ch * get_nb_words_per_pw_channel(F, b);
    return saturate(dw + pw);
}

}  // namespace vorna::v1
