#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "program/register.h"

namespace {

using vorna::RegDetail;
using vorna::set_field;

std::string panic_text(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    ADD_FAILURE() << "no runtime error thrown";
    return {};
}

TEST(RegisterSetField, WritesOnlyTheField) {
    struct Case {
        uint32_t word;
        RegDetail field;
        uint32_t value;
        uint32_t expected;
    };
    const Case cases[] = {
        {0x00000000u, {0, 32}, 0xFFFFFFFFu, 0xFFFFFFFFu},  // whole word
        {0x12345678u, {0, 32}, 0xCAFEBABEu, 0xCAFEBABEu},
        {0xFFFFFFFFu, {4, 4}, 0x0u, 0xFFFFFF0Fu},  // zero clears exactly the field
        {0x00000000u, {4, 4}, 0xAu, 0x000000A0u},
        {0xFFFFFFFFu, {8, 8}, 0x5Au, 0xFFFF5AFFu},
        {0x00000000u, {36, 4}, 0x3u, 0x00000030u},  // shift taken modulo 32
        {0x00000000u, {31, 1}, 0x1u, 0x80000000u},
        {0x00000000u, {28, 8}, 0xFFu, 0xF0000000u},  // bits above bit 31 are lost
        {0xFFFFFFFFu, {28, 8}, 0x00u, 0x0FFFFFFFu},
        {0x0000AAAAu, {0, 0}, 0x0u, 0x0000AAAAu},          // width 0 takes only 0
        {0x00000000u, {0, 40}, 0xFFFFFFFFu, 0xFFFFFFFFu},  // widths above 32 accept anything
    };
    for (const auto& c : cases) {
        uint32_t word = c.word;
        set_field(&word, c.field, c.value);
        EXPECT_EQ(word, c.expected)
            << "shift " << c.field.shift << " width " << c.field.width << " value " << c.value;
    }
}

TEST(RegisterSetField, OverflowPanicsAndKeepsTheWord) {
    struct Case {
        RegDetail field;
        uint32_t value;
        const char* message;
    };
    const Case cases[] = {
        {{0, 1}, 2, "Attempted to write value 2 into a 1-bit field, which will cause an overflow."},
        {{3, 0}, 1, "Attempted to write value 1 into a 0-bit field, which will cause an overflow."},
        {{0, 31},
         0x80000000u,
         "Attempted to write value 2147483648 into a 31-bit field, which will cause an "
         "overflow."},
        // A width of 64 leaves an empty mask; the message keeps the stored width.
        {{0, 64},
         1,
         "Attempted to write value 1 into a 64-bit field, which will cause an overflow."},
        {{0, 65},
         2,
         "Attempted to write value 2 into a 65-bit field, which will cause an overflow."},
    };
    for (const auto& c : cases) {
        uint32_t word = 0x5A5A5A5Au;
        EXPECT_EQ(panic_text([&] { set_field(&word, c.field, c.value); }), c.message);
        EXPECT_EQ(word, 0x5A5A5A5Au);
    }
}

// The 64-bit writers quote the full value; the one-hot writer quotes 1 << id.
TEST(RegisterWideField, ChecksAtFullWidth) {
    uint32_t word = 0xFFFFFFFFu;
    vorna::put_field(&word, {4, 4}, 0x3);
    vorna::set_bit(&word, 31, false);
    EXPECT_EQ(word, 0x7FFFFF3Fu);
    vorna::set_one_hot_field(&word, {20, 4}, 2);
    vorna::set_bit(&word, 0, false);
    EXPECT_EQ(word, 0x7F4FFF3Eu);
    EXPECT_EQ(vorna::checked_field_value(4095, 12), 4095u);
    const std::string tail = "-bit field, which will cause an overflow.";
    EXPECT_EQ(panic_text([&] { vorna::put_field(&word, {0, 8}, 0x100000000ull); }),
              "Attempted to write value 4294967296 into a 8" + tail);
    EXPECT_EQ(panic_text([] { vorna::checked_field_value(4096, 12); }),
              "Attempted to write value 4096 into a 12" + tail);
    EXPECT_EQ(panic_text([&] { vorna::set_one_hot_field(&word, {20, 4}, 40); }),
              "Attempted to write value 1099511627776 into a 4" + tail);
    EXPECT_EQ(panic_text([&] { vorna::set_one_hot_field(&word, {20, 4}, 64); }),
              "Attempted to write value 18446744073709551615 into a 4" + tail);
    EXPECT_EQ(word, 0x7F4FFF3Eu);
}

TEST(RegisterPanic, FormatsPrintfStyle) {
    EXPECT_EQ(
        panic_text([] { vorna::panic("%d cannot fit in a %d bits signed integer.", 300, 8); }),
        "300 cannot fit in a 8 bits signed integer.");
    EXPECT_EQ(panic_text([] {
                  vorna::panic("Wrong requested type %s for a tensor of type %s.", "a", "int32");
              }),
              "Wrong requested type a for a tensor of type int32.");
    EXPECT_EQ(panic_text([] { vorna::panic("done"); }), "done");
}

TEST(RegisterPanic, CutsAt256Characters) {
    std::string long_text(300, 'x');
    for (size_t i = 0; i < long_text.size(); ++i) long_text[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(panic_text([&] { vorna::panic("%s", long_text.c_str()); }), long_text.substr(0, 256));

    const std::string exact(256, 'y');
    EXPECT_EQ(panic_text([&] { vorna::panic("%s", exact.c_str()); }), exact);
    const std::string one_more(257, 'z');
    EXPECT_EQ(panic_text([&] { vorna::panic("%s", one_more.c_str()); }), std::string(256, 'z'));
}

TEST(RegisterPanic, EmptyTextThrowsTheFallback) {
    EXPECT_EQ(panic_text([] { vorna::panic("%s", ""); }), vorna::kPanicFallbackMessage);
    EXPECT_EQ(panic_text([] {
                  const char* empty = "";
                  vorna::panic(empty, 0);
              }),
              vorna::kPanicFallbackMessage);
    EXPECT_EQ(panic_text([] {
                  const char* none = nullptr;
                  vorna::panic(none, 0);
              }),
              vorna::kPanicFallbackMessage);
    EXPECT_FALSE(std::string(vorna::kPanicFallbackMessage).empty());
}

}  // namespace
