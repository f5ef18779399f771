#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "backend/mapping_status.h"
#include "test_support.h"

namespace {

using vorna::MappingStatus;
using vorna::MappingStatusGroup;

MappingStatus fail(const std::string& message, const std::string& layer = {}) {
    return MappingStatus::failure(message, layer);
}

TEST(MappingStatus, AddingTextsAndComponentErrors) {
    MappingStatus s = MappingStatus::success();
    s += MappingStatus::success();
    EXPECT_FALSE(s.error);
    EXPECT_EQ(s.to_string(), "Success.");
    s += fail("M", "A");
    s += fail("N", "B");  // later failures only extend the text
    s += MappingStatus::success();
    EXPECT_EQ(s, fail("M N", "A"));
    MappingStatus unnamed = fail("X");
    unnamed += fail("Y", "C");
    EXPECT_EQ(unnamed, fail("X Y"));
    EXPECT_EQ(fail("Too wide.", "conv_1").to_string(), "Cannot map layer 'conv_1'. Too wide.");
    EXPECT_EQ(fail("Too wide.").to_string(), "Too wide.");
    EXPECT_NE(fail("Success."), MappingStatus::success());
    EXPECT_EQ(vorna::test_support::runtime_error_text([] { fail("Bad.", "d").throw_exception(); }),
              "Cannot map layer 'd'. Bad.");
    auto layer = vorna::test_support::make_layer(
        vorna::LayerType::InputData, {{"input_width", 4}, {"input_height", 4}}, "dense_1");
    EXPECT_EQ(MappingStatus(*layer, "No."), fail("No.", "dense_1"));
    const std::string head = "Not enough hardware components of type FNP3 available. ";
    EXPECT_EQ(MappingStatus::component_error(*layer, "FNP3", 1, 0),
              fail(head + "1 is needed but 0 are available.", "dense_1"));
    EXPECT_EQ(MappingStatus::component_error(*layer, "FNP3", 2, 1),
              fail(head + "2 are needed but 1 is available.", "dense_1"));
}

TEST(MappingStatusGroup, AddingAndTexts) {
    MappingStatusGroup a;
    MappingStatusGroup ok;
    ok.statuses.push_back(fail("ignored", "I"));  // not an error: nothing is taken
    a += ok;
    EXPECT_TRUE(a.statuses.empty());
    MappingStatusGroup b;
    b.error = true;
    b.message = "first group";
    b.statuses = {fail("M", "A"), fail("M", "A")};
    a += b;
    b.message = "second group";
    a += b;
    EXPECT_TRUE(a.error);
    EXPECT_EQ(a.message, "first group");
    EXPECT_EQ(a.statuses.size(), 4u);  // no deduplication here

    MappingStatusGroup g;
    g.message = "group message";
    EXPECT_EQ(g.to_string(), "group message");
    for (const auto& s : {fail("Too wide.", "A"), fail("Too wide.", "A"), fail("Too deep.", "B"),
                          fail("Too wide.", "B"), fail("No name.")}) {
        vorna::add_status_once(g, s);
    }
    EXPECT_TRUE(g.error);
    EXPECT_EQ(g.message, "group message");
    EXPECT_EQ(g.to_string(),
              "Cannot map layer 'A':\n  * Layer 'A': Too wide.\n  * Layer 'B': Too deep.\n  * "
              "Layer 'B': Too wide.\n  * No name.");
    MappingStatusGroup one;
    vorna::add_status_once(one, fail("Too wide.", "A"));
    EXPECT_EQ(one.to_string(), "Cannot map layer 'A'. Too wide.");
    MappingStatusGroup unnamed;
    vorna::add_status_once(unnamed, fail("X"));
    vorna::add_status_once(unnamed, fail("Y", "B"));
    EXPECT_EQ(unnamed.to_string(), "Cannot map layer '':\n  * X\n  * Layer 'B': Y");
}

}  // namespace
