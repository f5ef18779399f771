#include "golden_program.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "test_data_dir.h"  // VORNA_TEST_DATA_DIR: tests/data of the source tree

namespace vorna {
namespace golden {
namespace {

uint64_t fnv1a(const uint8_t* p, size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

std::string ident(const fb::NpIdent* np) {
    if (!np) return "none";
    return std::to_string(np->col()) + "," + std::to_string(np->row()) + "," +
           std::to_string(np->id());
}

void dump_words(std::ostringstream& out, const std::string& header,
                const flatbuffers::Vector<uint32_t>* words) {
    out << header << " n=" << (words ? words->size() : 0) << "\n";
    if (!words) return;
    for (uint32_t w : *words) out << hex32(w) << "\n";
}

void dump_record(std::ostringstream& out, const std::string& where, const fb::RecordTracks* rec) {
    if (!rec) {
        out << where << " none\n";
        return;
    }
    const auto* tracks = rec->tracks();
    const size_t n = tracks ? tracks->size() : 0;
    for (size_t t = 0; t < n; ++t)
        dump_words(out, "track " + where + " t" + std::to_string(t), tracks->Get(t)->data());
    if (const auto* f = rec->fnp2_filters())
        dump_words(out, "fnp2 " + where + " np=" + ident(f->np()), f->data());
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool parse_word(const std::string& line, uint32_t* v) {
    if (line.size() != 10 || line.compare(0, 2, "0x") != 0) return false;
    *v = uint32_t(std::strtoul(line.c_str() + 2, nullptr, 16));
    return true;
}

// Up to 20 differences between the expected and the actual dump, each naming
// the block (the last header line) and the word index within it. A header that
// differs (another size, another track) ends the comparison there.
std::string differences(const std::vector<std::string>& want, const std::vector<std::string>& got) {
    std::ostringstream out;
    std::string block = "(start)";
    size_t index = 0, reported = 0;
    const size_t n = std::min(want.size(), got.size());
    for (size_t i = 0; i < n && reported < 20; ++i) {
        uint32_t a = 0, b = 0;
        const bool wa = parse_word(want[i], &a), wb = parse_word(got[i], &b);
        if (wa && wb) {
            if (a != b) {
                out << "  " << block << " word " << index << ": expected " << hex32(a) << ", got "
                    << hex32(b) << " (bits " << hex32(a ^ b) << " differ)\n";
                ++reported;
            }
            ++index;
            continue;
        }
        if (want[i] != got[i] && want[i].rfind("fnv ", 0) == 0 && got[i].rfind("fnv ", 0) == 0) {
            out << "  " << block << ": hash of the whole bytes differs\n";
            ++reported;
            continue;
        }
        if (want[i] != got[i]) {
            out << "  line " << i + 1 << ": expected '" << want[i] << "', got '" << got[i]
                << "'; the layout differs from here on\n";
            return out.str();
        }
        block = want[i];
        index = 0;
    }
    if (reported < 20 && want.size() != got.size())
        out << "  expected " << want.size() << " lines, got " << got.size() << "\n";
    return out.str();
}

// The directory of the expected files: tests/data/golden of the source tree, or
// VORNA_GOLDEN_DIR when set (the test of the update switch works on a copy).
std::string golden_dir() {
    const char* dir = std::getenv("VORNA_GOLDEN_DIR");
    return dir && *dir ? std::string(dir) : std::string(VORNA_TEST_DATA_DIR) + "/golden";
}

// Only the exact value 1 asks for the expected files to be rewritten: any other
// value, 0 included, leaves them alone and compares.
bool update_requested() {
    const char* v = std::getenv("VORNA_UPDATE_GOLDEN");
    return v && std::string(v) == "1";
}

bool read_file(const std::string& path, std::string* text) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::ostringstream content;
    content << f.rdbuf();
    *text = content.str();
    return true;
}

// Writes `text` to a temporary file beside `path` and renames it over `path`, so
// that a failed write leaves the old file as it was.
bool replace_file(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".tmp";
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f << text;
    f.close();
    if (!f || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace

void fill_variables(Layer& layer, int seed, bool v1) {
    for (const auto& name : layer.variables()->names()) {
        auto dense = std::dynamic_pointer_cast<Dense>(layer.variables()->get(name));
        const bool weights =
            name.rfind("weights", 0) == 0 || name.find("proj") != std::string::npos;
        const size_t n = dense ? dense->size() : 0;
        if (weights && dense->type() != TensorType::bit) {
            const int bits = v1 ? 2 : layer.params()->get_or("weights_bits", 8);
            const int span = bits == 2 ? 3 : bits == 4 ? 16 : 256;
            const int low = bits == 2 ? -1 : bits == 4 ? -8 : -128;
            int8_t* d = dense->data<int8_t>();
            for (size_t i = 0; i < n; ++i)
                d[i] = int8_t(low + int((i * 37 + seed * 11 + 5) % span));
        } else if (name == "A_real" || name == "A_imag") {
            int16_t* d = dense->data<int16_t>();
            for (size_t i = 0; i < n; ++i) d[i] = int16_t(int(i % 50) - 20 + seed);
        }
    }
}

std::shared_ptr<Model> build_and_map(const Row& row) {
    auto device = row.device ? row.device() : e2e::preset_device(*row.version, row.preset);
    auto model = Model::create();
    const bool v1 = row.version->get_ip_version() == IpVersion::v1;
    int seed = 1;
    for (const L& l : row.layers) {
        std::vector<std::shared_ptr<Layer>> inbound;
        for (const auto& n : l.inbound) inbound.push_back(model->get_layer(n));
        auto layer = e2e::make_layer(l.type, l.name, l.params);
        model->add(layer, inbound);
        fill_variables(*layer, seed++, v1);
    }
    if (row.prepare) row.prepare(*model);
    auto constraints =
        row.constraints ? row.constraints(device) : std::make_shared<MapConstraints>(device);
    model->map(device, row.hw_only, constraints);
    return model;
}

std::string dump_program(const Model& model) {
    std::ostringstream out;
    const auto& sequences = model.sequences();
    for (size_t s = 0; s < sequences.size(); ++s) {
        const Sequence& seq = *sequences[s];
        const ByteView program = seq.program();
        out << "sequence " << s << " " << seq.name();
        if (!program.data) {
            out << " (no program)\n";
            continue;
        }
        out << " bytes=" << program.size << "\n";

        // The info buffer, size prefix included, word by word (its size is a
        // multiple of four: flatbuffers align the root).
        const uint32_t info_size = e2e::read_u32(program.data) + 4;
        out << "info n=" << info_size / 4 << "\n";
        for (uint32_t i = 0; i + 4 <= info_size; i += 4)
            out << hex32(e2e::read_u32(program.data + i)) << "\n";

        const auto* data =
            flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(program.data + info_size);
        const auto* passes = data->passes();
        const size_t np = passes ? passes->size() : 0;
        for (size_t p = 0; p < np; ++p) {
            const auto* records = passes->Get(p)->records();
            const size_t nr = records ? records->size() : 0;
            for (size_t r = 0; r < nr; ++r)
                dump_record(out, "p" + std::to_string(p) + " r" + std::to_string(r),
                            records->Get(r));
        }
        if (const auto* learning = data->learning()) {
            out << "learning np=" << ident(learning->np())
                << " fnp_sram_size=" << learning->fnp_sram_size() << "\n";
            dump_record(out, "learning1", learning->record1());
            dump_record(out, "learning2", learning->record2());
            dump_record(out, "learning3", learning->record3());
        }
        if (const auto* dummy = data->dummy_desc_hdr())
            out << "dummy " << hex32(dummy->word0()) << " " << hex32(dummy->word1()) << "\n";
        // The whole bytes, flatbuffer tables and offsets included.
        char hash[24];
        std::snprintf(hash, sizeof hash, "%016llx",
                      static_cast<unsigned long long>(fnv1a(program.data, program.size)));
        out << "fnv " << hash << "\n";
    }
    return out.str();
}

void expect_golden(const std::string& dir, const Row& row) {
    SCOPED_TRACE(dir + "/" + row.name);
    std::string actual;
    try {
        actual = dump_program(*build_and_map(row));
    } catch (const std::exception& e) {
        ADD_FAILURE() << row.name << ": mapping failed: " << e.what();
        return;
    }
    const std::string path = golden_dir() + "/" + dir + "/" + row.name + ".txt";
    std::string expected;
    const bool found = read_file(path, &expected);
    if (update_requested()) {
        // Fails either way, so that a run with the variable set never passes as a check.
        if (found && expected == actual) {
            ADD_FAILURE() << "VORNA_UPDATE_GOLDEN=1: " << path
                          << " unchanged; run again without VORNA_UPDATE_GOLDEN to check";
            return;
        }
        ASSERT_TRUE(replace_file(path, actual)) << "VORNA_UPDATE_GOLDEN=1: cannot write " << path;
        ADD_FAILURE() << "VORNA_UPDATE_GOLDEN=1 rewrote " << path
                      << "; review its diff, then run again without VORNA_UPDATE_GOLDEN";
        return;
    }
    ASSERT_TRUE(found) << "no expected program bytes at " << path
                       << " (VORNA_UPDATE_GOLDEN=1 writes them)";
    if (expected == actual) return;
    ADD_FAILURE() << row.name << ": program bytes differ from " << path << ":\n"
                  << differences(lines_of(expected), lines_of(actual));
}

uint32_t track_word(const Model& model, size_t sequence, size_t pass, size_t record, size_t track,
                    size_t index) {
    const ByteView program = model.sequences().at(sequence)->program();
    if (!program.data) throw std::runtime_error("sequence without program");
    const uint32_t info_size = e2e::read_u32(program.data) + 4;
    const auto* data = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(program.data + info_size);
    const auto* words =
        data->passes()->Get(pass)->records()->Get(record)->tracks()->Get(track)->data();
    if (!words || index >= words->size()) throw std::out_of_range("track word out of range");
    return words->Get(index);
}

}  // namespace golden
}  // namespace vorna
