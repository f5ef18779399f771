#include "backend/v2/cnp_weights.h"

#include <algorithm>
#include <stdexcept>

#include "program/register.h"

namespace vorna {
namespace v2 {

namespace {

constexpr uint32_t ceil_div(uint32_t a, uint32_t b) { return (a + b - 1) / b; }
constexpr uint32_t round_up(uint32_t a, uint32_t m) { return ceil_div(a, m) * m; }

uint32_t round_for_xl(uint32_t words) {
    return dma::config_block_size_needs_xl(words) ? round_up(words, 16) : words;
}

[[noreturn]] void out_of_range() { panic("Coordinates are out-of-range"); }

// Signed-byte view of a 4-D weight tensor, read through its strides. The
// constructor checks the element type, then that the kernel rows 0..k-1 and
// the index range [first, first + count) of dimension 3 lie inside the
// tensor, so that no read can leave the buffer.
class WeightReader {
  public:
    WeightReader(const Dense& weights, uint32_t k, uint32_t min_dim2, uint32_t first,
                 uint32_t count)
        : data_(weights.data<int8_t>()) {
        if (count == 0) return;
        const Shape& d = weights.dimensions();
        const uint64_t end = uint64_t(first) + count;
        if (d.count < 4 || d.dims[1] < k || d.dims[2] < min_dim2 || d.dims[3] < end) {
            out_of_range();
        }
        for (int i = 0; i < 4; ++i) strides_[i] = weights.strides().at(i);
    }

    // The element (0, 0, 0, 0) and the stride of dimension d, for walks that
    // stay inside the ranges the constructor checked.
    const int8_t* origin() const { return data_; }
    size_t stride(int d) const { return strides_[d]; }

    int8_t operator()(uint32_t i, uint32_t j, uint32_t c, uint32_t n) const {
        return data_[size_t(i) * strides_[0] + size_t(j) * strides_[1] + size_t(c) * strides_[2] +
                     size_t(n) * strides_[3]];
    }

  private:
    const int8_t* data_;
    size_t strides_[4] = {0, 0, 0, 0};
};

// Low nibble of a weight that must fit 4 signed bits.
uint32_t nibble_of(int8_t w) {
    if (w < -8 || w > 7) panic("%d cannot fit in a %d bits signed integer.", int(w), 4);
    return uint32_t(uint8_t(w)) & 0xFu;
}

// Byte-addressed write into a word image (little-endian inside each word),
// without a bounds check: the last byte position of each run is checked
// against the image by fits() first.
inline void put_byte_unchecked(uint32_t* image, size_t pos, uint8_t byte) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Byte `pos` of the image is byte pos % 4 of word pos / 4 in memory: the
    // byte itself is written, which keeps neighbouring writes independent.
    reinterpret_cast<unsigned char*>(image)[pos] |= byte;
#else
    image[pos / 4] |= uint32_t(byte) << (8 * (pos % 4));
#endif
}

// Throws std::out_of_range when byte `last` lies outside the image.
void fits(const std::vector<uint32_t>& image, size_t last) { (void)image.at(last / 4); }

// Bit stream over the four-word form: it writes into one half (a pair of
// 32-bit words) at a time and moves to the next pair when `usable` bits of
// the half are used.
class HalfStream {
  public:
    HalfStream(std::vector<uint32_t>& image, size_t first_word, uint32_t usable)
        : image_(image), pair_(first_word), usable_(usable) {}

    void next_pair() {
        pair_ += 2;
        bit_ = 0;
    }

    void put_nibble(uint32_t nibble) {
        for (int b = 0; b < 4; ++b) {
            if (bit_ >= usable_) next_pair();
            if ((nibble >> b) & 1u) {
                image_.at(pair_ + (bit_ < 32 ? 0 : 1)) |= 1u << (bit_ % 32);
            }
            ++bit_;
        }
    }

  private:
    std::vector<uint32_t>& image_;
    size_t pair_;
    uint32_t bit_ = 0;
    uint32_t usable_;
};

// The writes of an 8-bit Conv2D image whose byte positions were checked, for
// kernel size K (FourWord: the four-word form of kernel 7). The invariants are
// locals: the byte writes may alias anything else.
struct Conv2dImageWalk {
    uint32_t* words;
    const int8_t* origin;
    size_t s[4];
    size_t channel_bytes, group_bytes, row_stride, filter_step;
    uint32_t per_group, first_neuron, neurons, nc;

    template <uint32_t K, bool FourWord>
    void write() const {
        if constexpr (K == 1) {
            // Kernel 1: a group's image row of a channel is its filters' weights
            // side by side, read across the filters.
            const uint32_t groups = ceil_div(neurons, per_group);
            for (uint32_t g = 0; g < groups; ++g) {
                const uint32_t group_first = g * per_group;
                const uint32_t count = std::min(per_group, neurons - group_first);
                const int8_t* first = origin + (first_neuron + size_t(group_first)) * s[3];
                for (uint32_t c = 0; c < nc; ++c) {
                    const int8_t* in = first + c * s[2];
                    const size_t pos = c * channel_bytes + g * group_bytes;
                    for (uint32_t f = 0; f < count; ++f) {
                        put_byte_unchecked(words, pos + f * filter_step, uint8_t(in[f * s[3]]));
                    }
                }
            }
            return;
        }
        constexpr uint32_t kChannelBlock = 64;
        const uint32_t groups = ceil_div(neurons, per_group);
        for (uint32_t c0 = 0; c0 < nc; c0 += kChannelBlock) {
            const uint32_t c1 = std::min(nc, c0 + kChannelBlock);
            for (uint32_t g = 0; g < groups; ++g) {
                const uint32_t group_first = g * per_group;
                const uint32_t count = std::min(per_group, neurons - group_first);
                for (uint32_t j = 0; j < K; ++j) {
                    for (uint32_t f = 0; f < count; ++f) {
                        const size_t n = first_neuron + group_first + f;
                        const int8_t* in = origin + j * s[1] + n * s[3] + c0 * s[2];
                        size_t pos =
                            c0 * channel_bytes + g * group_bytes + j * row_stride + f * filter_step;
                        for (uint32_t c = c0; c < c1; ++c, in += s[2], pos += channel_bytes) {
                            if constexpr (FourWord) {
                                // A filter row fills one 100-bit word, half 0
                                // holding 50 bits; the 7th weight straddles the
                                // halves (bits 0-1 in byte 6, bits 2-7 in byte 8).
                                for (uint32_t i = 0; i < 6; ++i) {
                                    put_byte_unchecked(words, pos + i, uint8_t(in[i * s[0]]));
                                }
                                const uint8_t last = uint8_t(in[6 * s[0]]);
                                put_byte_unchecked(words, pos + 6, last & 0x3u);
                                put_byte_unchecked(words, pos + 8, last >> 2);
                            } else {
                                for (uint32_t i = 0; i < K; ++i) {
                                    put_byte_unchecked(words, pos + i, uint8_t(in[i * s[0]]));
                                }
                            }
                        }
                    }
                }
            }
        }
    }
};

const Conv2dWeightLayout kConvK1{0, 0, 24, 6, 0, 3, 1};
const Conv2dWeightLayout kConvK3{0, 0, 8, 18, 24, 3, 1};
const Conv2dWeightLayout kConvK4{0, 0, 8, 36, 36, 3, 1};
const Conv2dWeightLayout kConvK5{5, 1, 8, 60, 48, 3, 1};
const Conv2dWeightLayout kConvK7{7, 9, 8, 224, 128, 4, 0};

const DwcWeightLayout kDwcK3{3, 0, 0, 12, 3, 1};
const DwcWeightLayout kDwcK4{4, 0, 2, 24, 3, 1};
const DwcWeightLayout kDwcK5{5, 0, 1, 30, 3, 1};
const DwcWeightLayout kDwcK7{4, 2, 3, 84, 3, 1};

// 100-bit words per channel of the 8-bit depthwise image.
uint32_t dwc_8bit_words_per_channel(uint32_t kernel_size) {
    switch (kernel_size) {
        case 3:
            return 1;
        case 4:
            return 2;
        case 5:
            return 3;
        case 7:
            return 7;
        default:
            throw std::runtime_error("ch_cont_size: Unexpected kernel size.");
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Conv2D

const Conv2dWeightLayout& conv2d_weight_layout(uint32_t kernel_size) {
    switch (kernel_size) {
        case 1:
            return kConvK1;
        case 3:
            return kConvK3;
        case 4:
            return kConvK4;
        case 5:
            return kConvK5;
        case 7:
            return kConvK7;
        default:
            throw std::runtime_error("cnp_weight_format: Unexpected kernel size.");
    }
}

uint32_t conv2d_4bit_ch_cont_100b_size(uint32_t kernel_size, uint32_t n) {
    switch (kernel_size) {
        case 1:
            return ceil_div(n, 24);
        case 3:
            return 3 * ceil_div(n, 8);
        case 5:
            return round_up(n, 8);
        case 7:
            return 21 * ceil_div(n, 8);
        default:
            throw std::runtime_error("Unsupported kernel size.");
    }
}

uint32_t conv2d_8bit_ch_cont_100b_size(uint32_t kernel_size, uint32_t n) {
    switch (kernel_size) {
        case 1:
            return 2 * ceil_div(round_up(n, 8), 24);
        case 3:
            return 6 * ceil_div(n, 8);
        case 4:
            return 12 * ceil_div(n, 8);
        case 5:
            return 20 * ceil_div(n, 8);
        case 7:
            return 56 * ceil_div(n, 8);
        default:
            throw std::runtime_error("ch_cont_size: Unexpected kernel size.");
    }
}

uint32_t conv2d_ch_cont_100b_size(uint32_t kernel_size, uint32_t n, uint8_t weights_bits) {
    return weights_bits == 8 ? conv2d_8bit_ch_cont_100b_size(kernel_size, n)
                             : conv2d_4bit_ch_cont_100b_size(kernel_size, n);
}

uint32_t conv2d_cnp_formatted_4bit_weight_100b_size(uint32_t kernel_size, uint32_t n, uint32_t nc) {
    return conv2d_4bit_ch_cont_100b_size(kernel_size, n) * nc;
}

uint32_t conv2d_cnp_formatted_4bit_weight_32b_size(uint32_t kernel_size, uint32_t n, uint32_t nc) {
    return 4 * conv2d_cnp_formatted_4bit_weight_100b_size(kernel_size, n, nc);
}

uint32_t conv2d_cnp_formatted_weight_100b_size(uint32_t kernel_size, uint32_t n, uint32_t nc,
                                               uint8_t weights_bits) {
    if (weights_bits == 8) return conv2d_8bit_ch_cont_100b_size(kernel_size, n) * nc;
    return conv2d_cnp_formatted_4bit_weight_100b_size(kernel_size, n, nc);
}

uint32_t conv2d_cnp_formatted_weight_32b_size(uint32_t kernel_size, uint32_t n, uint32_t nc,
                                              uint8_t weights_bits) {
    if (weights_bits != 8) return conv2d_cnp_formatted_4bit_weight_32b_size(kernel_size, n, nc);
    const uint32_t ch_cont = conv2d_8bit_ch_cont_100b_size(kernel_size, n);
    const uint32_t words_per_100b = kernel_size == 7 ? 4 : 3;
    return round_for_xl(ch_cont * words_per_100b * nc);
}

dma::Target conv2d_dma_target(uint32_t kernel_size, uint8_t weights_bits) {
    if (weights_bits == 4) return dma::Target(0);
    return dma::Target(conv2d_weight_layout(kernel_size).dma_target);
}

std::vector<uint32_t> format_conv2d_cnp_weights(const Dense& weights, uint32_t first_neuron,
                                                uint32_t neurons, uint8_t weights_bits) {
    if (weights_bits != 8) return format_conv2d_4bit_weights(weights, first_neuron, neurons);

    const Shape& dims = weights.dimensions();
    const uint32_t k = dims.dims[0];
    const uint32_t nc = dims.dims[2];
    const Conv2dWeightLayout& layout = conv2d_weight_layout(k);
    const uint32_t per_channel = conv2d_8bit_ch_cont_100b_size(k, neurons) * layout.words_per_100b;
    std::vector<uint32_t> image(round_for_xl(per_channel * nc), 0);

    const WeightReader w(weights, k, nc, first_neuron, nc == 0 ? 0 : neurons);
    const uint32_t groups = ceil_div(neurons, layout.neurons_per_group);
    const size_t filter_step = k + (layout.pad_after != 0 ? layout.pad_bytes : 0);
    const size_t last_in_filter = layout.words_per_100b == 4 ? 8 : k - 1;
    auto group_byte = [&](uint32_t c, uint32_t g) {
        return (size_t(c) * per_channel + size_t(g) * layout.group_words) * 4;
    };
    auto in_group = [&](uint32_t g) {
        return std::min(layout.neurons_per_group, neurons - g * layout.neurons_per_group);
    };
    // Every byte of a group lies before its last kernel row's last byte: that
    // byte is checked against the image for each group before anything is
    // written, and the writes go unchecked.
    for (uint32_t c = 0; c < nc; ++c) {
        for (uint32_t g = 0; g < groups; ++g) {
            fits(image, group_byte(c, g) + size_t(k - 1) * layout.kernel_row_stride +
                            (in_group(g) - 1) * filter_step + last_in_filter);
        }
    }
    // Each byte of the image is written once, by OR into zeros, so the order of
    // the writes is free: channels go in blocks, so that the weights of a filter
    // (whose channels lie close together) and the channels' image rows both stay
    // in cache while a block is written.
    Conv2dImageWalk walk{image.data(),
                         w.origin(),
                         {w.stride(0), w.stride(1), w.stride(2), w.stride(3)},
                         size_t(per_channel) * 4,
                         size_t(layout.group_words) * 4,
                         layout.kernel_row_stride,
                         filter_step,
                         layout.neurons_per_group,
                         first_neuron,
                         neurons,
                         nc};
    switch (k) {
        case 1:
            walk.write<1, false>();
            break;
        case 3:
            walk.write<3, false>();
            break;
        case 4:
            walk.write<4, false>();
            break;
        case 5:
            walk.write<5, false>();
            break;
        default:
            walk.write<7, true>();
            break;
    }
    return image;
}

std::vector<uint32_t> format_conv2d_4bit_weights(const Dense& weights, uint32_t first_neuron,
                                                 uint32_t neurons) {
    const Shape& dims = weights.dimensions();
    const uint32_t k = dims.dims[0];
    const uint32_t nc = dims.dims[2];
    if (k != 1 && k != 3 && k != 5 && k != 7) throw std::runtime_error("Unsupported kernel size.");
    const uint32_t per_channel = 4 * conv2d_4bit_ch_cont_100b_size(k, neurons);
    std::vector<uint32_t> image(size_t(per_channel) * nc, 0);

    const WeightReader w(weights, k, nc, first_neuron, nc == 0 ? 0 : neurons);
    const uint32_t usable = k <= 3 ? 48 : 50;
    if (k == 1) {
        for (uint32_t c = 0; c < nc; ++c) {
            HalfStream s(image, size_t(c) * per_channel, usable);
            for (uint32_t f = 0; f < neurons; ++f)
                s.put_nibble(nibble_of(w(0, 0, c, first_neuron + f)));
        }
        return image;
    }

    const uint32_t group_words = 4 * conv2d_4bit_ch_cont_100b_size(k, 8);
    const uint32_t groups = ceil_div(neurons, 8);
    for (uint32_t c = 0; c < nc; ++c) {
        for (uint32_t g = 0; g < groups; ++g) {
            HalfStream s(image, size_t(c) * per_channel + size_t(g) * group_words, usable);
            for (uint32_t j = 0; j < k; ++j) {
                for (uint32_t f = 0; f < 8; ++f) {
                    const uint32_t idx = g * 8 + f;
                    for (uint32_t i = 0; i < k; ++i) {
                        s.put_nibble(idx < neurons ? nibble_of(w(i, j, c, first_neuron + idx)) : 0);
                    }
                    // Kernel 7: a 100-bit word holds three filter rows (or the
                    // last two of a kernel row).
                    if (k == 7 && (f == 2 || f == 5 || f == 7)) s.next_pair();
                }
            }
        }
    }
    return image;
}

// ---------------------------------------------------------------------------
// Depthwise

const DwcWeightLayout& dwc_weight_layout(uint32_t kernel_size) {
    switch (kernel_size) {
        case 3:
            return kDwcK3;
        case 4:
            return kDwcK4;
        case 5:
            return kDwcK5;
        case 7:
            return kDwcK7;
        default:
            throw std::runtime_error("cnp_weight_format: Unexpected kernel size.");
    }
}

uint32_t dwc_dma_target(uint32_t kernel_size, uint8_t weights_bits) {
    if (weights_bits == 4) return 0;
    dwc_weight_layout(kernel_size);
    return 1;
}

uint32_t dwc_ch_cont_100b_size(uint32_t kernel_size, uint32_t channels, uint8_t weights_bits) {
    if (weights_bits != 8) return dwc_4bit_ch_cont_100b_size(kernel_size, channels);
    return channels * dwc_8bit_words_per_channel(kernel_size);
}

uint32_t dwc_4bit_ch_cont_100b_size(uint32_t kernel_size, uint32_t channels) {
    switch (kernel_size) {
        case 3:
            return (channels + 1) / 2;
        case 5:
            return (3 * channels + 1) / 2;
        case 7:
            return (7 * channels + 1) / 2;
        default:
            throw std::runtime_error("Invalid kernel size.");
    }
}

uint32_t dwc_cnp_formatted_weight_32b_size(uint32_t kernel_size, uint32_t channels,
                                           uint8_t weights_bits) {
    if (weights_bits != 8) {
        return dwc_cnp_formatted_4bit_weight_32b_size(int(kernel_size), channels);
    }
    return round_for_xl(3 * channels * dwc_8bit_words_per_channel(kernel_size));
}

uint32_t dwc_cnp_formatted_4bit_weight_32b_size(int kernel_size, uint32_t channels) {
    switch (kernel_size) {
        case 3:
            return (2 * channels + 15) & ~15u;
        case 5:
            return (6 * channels + 15) & ~15u;
        case 7:
            return (14 * channels + 15) & ~15u;
        default:
            throw std::runtime_error("Invalid kernel size.");
    }
}

std::vector<uint32_t> format_depthwise_conv_cnp_weights(const Dense& weights,
                                                        uint32_t first_channel, uint32_t channels,
                                                        uint8_t weights_bits) {
    if (weights_bits != 8) {
        return format_depthwise_conv_cnp_4bit_weights(weights, first_channel, channels);
    }
    const uint32_t k = weights.dimensions().dims[0];
    const uint32_t m = channels * dwc_8bit_words_per_channel(k);
    const DwcWeightLayout& layout = dwc_weight_layout(k);
    std::vector<uint32_t> image(round_for_xl(3 * m), 0);

    const WeightReader w(weights, k, 1, first_channel, channels);
    // A channel's bytes only grow: the last one written for the last channel
    // is checked against the image once.
    if (channels > 0 && k > 0) {
        size_t p = 0, last = 0;
        for (uint32_t y = 0; y < k; ++y) {
            for (uint32_t x = 0; x < k; ++x) {
                last = p++;
                if (x == layout.row_bytes_before_gap - 1) p += layout.gap_in_row;
            }
            p += layout.gap_after_row;
        }
        fits(image, size_t(channels - 1) * layout.bytes_per_channel + last);
    }
    uint32_t* words = image.data();
    for (uint32_t ch = 0; ch < channels; ++ch) {
        const uint32_t c = first_channel + ch;
        const size_t base = size_t(ch) * layout.bytes_per_channel;
        size_t p = 0;
        for (uint32_t y = 0; y < k; ++y) {
            for (uint32_t x = 0; x < k; ++x) {
                put_byte_unchecked(words, base + p, uint8_t(w(x, y, 0, c)));
                ++p;
                if (x == layout.row_bytes_before_gap - 1) p += layout.gap_in_row;
            }
            p += layout.gap_after_row;
        }
    }
    return image;
}

std::vector<uint32_t> format_depthwise_conv_cnp_4bit_weights(const Dense& weights,
                                                             uint32_t first_channel,
                                                             uint32_t channels) {
    const uint32_t k = weights.dimensions().dims[0];
    uint32_t pairs_per_channel = 0;
    switch (k) {
        case 3:
            pairs_per_channel = 1;
            break;
        case 5:
            pairs_per_channel = 3;
            break;
        case 7:
            pairs_per_channel = 7;
            break;
        default:
            throw std::runtime_error("Invalid kernel size.");
    }
    std::vector<uint32_t> image(size_t(2) * channels * pairs_per_channel, 0);

    const WeightReader w(weights, k, 1, first_channel, channels);
    size_t pair = 0;
    uint32_t bit = 0;
    for (uint32_t ch = 0; ch < channels; ++ch) {
        const uint32_t c = first_channel + ch;
        for (uint32_t y = 0; y < k; ++y) {
            // A kernel row never straddles two halves.
            if (4 * k + bit > 50) {
                ++pair;
                bit = 0;
            }
            for (uint32_t x = 0; x < k; ++x) {
                const uint32_t v = nibble_of(w(x, y, 0, c));
                image.at(2 * pair + (bit < 32 ? 0 : 1)) |= v << (bit % 32);
                bit += 4;
            }
        }
        // Every channel starts a new half.
        if (4 * k * k + bit > 50) {
            ++pair;
            bit = 0;
        }
    }
    return image;
}

}  // namespace v2
}  // namespace vorna
