#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "backend/mapping_status.h"
#include "corelib/layer.h"
#include "corelib/params.h"

namespace {

using vorna::MappingStatus;
using vorna::MappingStatusGroup;

MappingStatus fail(const std::string& message, const std::string& layer = {}) {
    return MappingStatus::failure(message, layer);
}

void expect_status(const MappingStatus& s, bool error, const std::string& message,
                   const std::string& layer) {
    EXPECT_EQ(s.error, error);
    EXPECT_EQ(s.message, message);
    EXPECT_EQ(s.layer_name, layer);
}

TEST(MappingStatus, SuccessAndFailure) {
    expect_status(MappingStatus(), false, "Success.", "");
    expect_status(MappingStatus::success(), false, "Success.", "");
    expect_status(fail("M", "A"), true, "M", "A");
    EXPECT_EQ(MappingStatus::success().to_string(), "Success.");

    const MappingStatus copy = fail("M", "A");
    expect_status(MappingStatus(copy), true, "M", "A");
}

TEST(MappingStatus, AddingRules) {
    MappingStatus s = MappingStatus::success();
    s += MappingStatus::success();
    expect_status(s, false, "Success.", "");

    s += fail("M", "A");
    expect_status(s, true, "M", "A");
    s += fail("N", "B");
    expect_status(s, true, "M N", "A");  // later failures only extend the text
    s += MappingStatus::success();
    expect_status(s, true, "M N", "A");

    MappingStatus no_name = fail("X");
    no_name += fail("Y", "C");
    expect_status(no_name, true, "X Y", "");  // the first failure's (empty) name stays

    MappingStatus named_later;
    named_later += fail("Z");
    expect_status(named_later, true, "Z", "");

    // Works through the virtual slot as well.
    MappingStatus base_target;
    MappingStatus& ref = base_target;
    ref += fail("V", "L");
    expect_status(base_target, true, "V", "L");
}

TEST(MappingStatus, Texts) {
    EXPECT_EQ(fail("Too wide.", "conv_1").to_string(), "Cannot map layer 'conv_1'. Too wide.");
    EXPECT_EQ(fail("Too wide.").to_string(), "Too wide.");
    EXPECT_EQ(fail("").to_string(), "");
}

TEST(MappingStatus, ThrowException) {
    try {
        fail("Bad.", "dense").throw_exception();
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot map layer 'dense'. Bad.");
    }
    EXPECT_THROW(MappingStatus::success().throw_exception(), std::runtime_error);
}

TEST(MappingStatus, Equality) {
    EXPECT_EQ(fail("M", "A"), fail("M", "A"));
    EXPECT_NE(fail("M", "A"), fail("M", "B"));
    EXPECT_NE(fail("M", "A"), fail("N", "A"));
    EXPECT_NE(fail("Success."), MappingStatus::success());
    EXPECT_EQ(MappingStatus(), MappingStatus::success());
}

std::shared_ptr<vorna::Layer> input_layer(const std::string& name) {
    const auto params = vorna::LayerParams::create(
        vorna::LayerType::InputData,
        {{"input_width", 4}, {"input_height", 4}, {"input_channels", 1}});
    return vorna::Layer::create(params.get(), name);
}

TEST(MappingStatus, FailureOnALayer) {
    const auto layer = input_layer("input_0");
    const MappingStatus s(*layer, "Not supported.");
    expect_status(s, true, "Not supported.", "input_0");
    EXPECT_EQ(s.to_string(), "Cannot map layer 'input_0'. Not supported.");
}

TEST(MappingStatus, ComponentError) {
    const auto layer = input_layer("dense_1");
    struct Case {
        size_t needed;
        size_t available;
        const char* message;
    };
    const Case cases[] = {
        {1, 0,
         "Not enough hardware components of type FNP3 available. 1 is needed but 0 are "
         "available."},
        {6, 4,
         "Not enough hardware components of type FNP3 available. 6 are needed but 4 are "
         "available."},
        {2, 1,
         "Not enough hardware components of type FNP3 available. 2 are needed but 1 is "
         "available."},
    };
    for (const auto& c : cases) {
        const MappingStatus s =
            MappingStatus::component_error(*layer, "FNP3", c.needed, c.available);
        expect_status(s, true, c.message, "dense_1");
    }
}

TEST(MappingStatusGroup, FreshGroup) {
    const MappingStatusGroup g;
    EXPECT_FALSE(g.error);
    EXPECT_EQ(g.message, "Success.");
    EXPECT_TRUE(g.statuses.empty());
    EXPECT_EQ(g.to_string(), "Success.");
    EXPECT_FALSE(MappingStatusGroup::success().error);
}

TEST(MappingStatusGroup, AddingGroups) {
    MappingStatusGroup a;
    MappingStatusGroup other_ok;
    other_ok.statuses.push_back(fail("ignored", "I"));  // not an error: nothing is taken
    a += other_ok;
    EXPECT_FALSE(a.error);
    EXPECT_TRUE(a.statuses.empty());

    MappingStatusGroup b;
    b.error = true;
    b.message = "first group";
    b.statuses = {fail("M", "A"), fail("N", "B")};
    a += b;
    EXPECT_TRUE(a.error);
    EXPECT_EQ(a.message, "first group");
    ASSERT_EQ(a.statuses.size(), 2u);

    MappingStatusGroup c;
    c.error = true;
    c.message = "second group";
    c.statuses = {fail("M", "A")};
    a += c;
    EXPECT_EQ(a.message, "first group");  // an erroneous group keeps its message
    ASSERT_EQ(a.statuses.size(), 3u);     // no deduplication here
    EXPECT_EQ(a.statuses[2], fail("M", "A"));
}

TEST(MappingStatusGroup, AddStatusOnce) {
    MappingStatusGroup g;
    vorna::add_status_once(g, fail("M", "A"));
    EXPECT_TRUE(g.error);
    EXPECT_EQ(g.message, "Success.");  // the group's message is not changed
    vorna::add_status_once(g, fail("M", "A"));
    EXPECT_EQ(g.statuses.size(), 1u);
    vorna::add_status_once(g, fail("M", "B"));  // differs only in the layer name
    EXPECT_EQ(g.statuses.size(), 2u);
    vorna::add_status_once(g, fail("N", "A"));
    EXPECT_EQ(g.statuses.size(), 3u);
    vorna::add_status_once(g, fail("M", "A"));
    EXPECT_EQ(g.statuses.size(), 3u);
}

TEST(MappingStatusGroup, Texts) {
    MappingStatusGroup g;
    g.message = "group message";
    EXPECT_EQ(g.to_string(), "group message");

    vorna::add_status_once(g, fail("Too wide.", "A"));
    EXPECT_EQ(g.to_string(), "Cannot map layer 'A'. Too wide.");

    vorna::add_status_once(g, fail("Too deep.", "B"));
    EXPECT_EQ(g.to_string(),
              "Cannot map layer 'A':\n  * Layer 'A': Too wide.\n  * Layer 'B': Too deep.");

    vorna::add_status_once(g, fail("No name."));
    EXPECT_EQ(g.to_string(),
              "Cannot map layer 'A':\n  * Layer 'A': Too wide.\n  * Layer 'B': Too deep.\n  * "
              "No name.");

    MappingStatusGroup unnamed_first;
    vorna::add_status_once(unnamed_first, fail("X"));
    vorna::add_status_once(unnamed_first, fail("Y", "B"));
    EXPECT_EQ(unnamed_first.to_string(), "Cannot map layer '':\n  * X\n  * Layer 'B': Y");
}

}  // namespace
