// Program bytes of small mapped models kept as expected text in tests/data/golden/.
//
// A row builds a model (layers, deterministic weights, an optional hook for
// variables or learning), maps it onto a preset device and dumps every hardware
// sequence's program bytes as text: the program-info buffer word by word, then
// every track of the program data (pass, record, track) one word a line, the
// FNP2 filter tracks, the learning records and the dummy descriptor header, and
// a hash of the whole bytes. A mismatch names the sequence, the block (pass,
// record, track) and the word index, with the bits that differ.
//
// VORNA_UPDATE_GOLDEN=1 (exactly 1) in the environment rewrites the expected files
// instead of comparing, for a deliberate change of program bytes, and fails every
// row, naming the files it rewrote: review the diff, then run again without it.

#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "e2e_test_util.h"

namespace vorna {
namespace golden {

using P = std::map<std::string, int>;

struct L {
    LayerType type;
    std::string name;
    P params;
    std::vector<std::string> inbound = {};
};

struct Row {
    std::string name;          // file name of the expected text, without ".txt"
    const HwVersion* version;  // the device's hardware version
    std::string preset;        // emulator mesh preset ("v1", "gemel", "v2", "mote", ...)
    std::vector<L> layers;
    // Runs after the layers are added and filled, before mapping: set variables,
    // compile for learning, ...
    std::function<void(Model&)> prepare = {};
    // Replaces the preset device when set.
    std::function<std::shared_ptr<Device>()> device = {};
    // Replaces the default constraints (every NP of the device) when set.
    std::function<std::shared_ptr<MapConstraints>(const std::shared_ptr<Device>&)> constraints = {};
    bool hw_only = true;
};

// Parameters of an InputData layer.
inline P in(int x, int y, int c, int bits = 8) {
    return {{"input_width", x}, {"input_height", y}, {"input_channels", c}, {"input_bits", bits}};
}

// `p` with the entries of `more` added or replaced.
inline P with(P p, const P& more) {
    for (const auto& [k, v] : more) p[k] = v;
    return p;
}

// Parameters of a v2 Conv2D (or InputConv2D) layer: stride 1, 8-bit weights
// and output unless `more` says otherwise.
inline P conv(int filters, int kernel, int activation, const P& more = {}) {
    return with({{"filters", filters},
                 {"kernel_size", kernel},
                 {"activation", activation},
                 {"kernel_stride", 1},
                 {"output_bits", 8},
                 {"weights_bits", 8}},
                more);
}

// Deterministic weights inside each kind's range: 2-bit codes on v1, the
// layer's weights_bits elsewhere; the recurrent state factors of mote get a
// pattern too. Everything else keeps the layer's defaults.
void fill_variables(Layer& layer, int seed, bool v1);

// Builds and maps the row's model.
std::shared_ptr<Model> build_and_map(const Row& row);

// The text form of every sequence's program bytes (software sequences are
// listed by name only).
std::string dump_program(const Model& model);

// Compares the row's dump with tests/data/golden/<dir>/<row.name>.txt, or
// rewrites it (and fails) when VORNA_UPDATE_GOLDEN is 1.
void expect_golden(const std::string& dir, const Row& row);

// Word `index` of track `track` of record `record` in pass `pass` of sequence
// `sequence` of a mapped model, for hand-computed checks.
uint32_t track_word(const Model& model, size_t sequence, size_t pass, size_t record, size_t track,
                    size_t index);

}  // namespace golden
}  // namespace vorna
