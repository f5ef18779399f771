#include <gtest/gtest.h>

#include "corelib/version.h"
#include "python/version_gate.h"

namespace {

using vorna::python::python_version_accepted;
using vorna::python::python_version_mismatch_message;

TEST(VersionGate, AcceptsOnly311) {
    struct Case {
        const char* text;
        bool accepted;
    };
    const Case cases[] = {
        {"3.11.7", true},   {"3.11.7 (main, Dec 1 2023) [GCC 12.2.0]", true},
        {"3.11", true},     {"3.11.0rc1", true},
        {"3.1", false},     {"3.110", false},
        {"3.12.0", false},  {"3.12", false},
        {"3.111.0", false}, {"2.7.18", false},
        {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(python_version_accepted(c.text), c.accepted) << c.text;
    }
    EXPECT_FALSE(python_version_accepted(nullptr));
}

TEST(VersionGate, MismatchMessage) {
    EXPECT_EQ(python_version_mismatch_message("3.12.0 (main)"),
              "Python version mismatch: module was compiled for Python 3.11, but the "
              "interpreter version is incompatible: 3.12.0 (main).");
    // The whole interpreter text is quoted, whatever its length.
    EXPECT_EQ(python_version_mismatch_message("3.110"),
              "Python version mismatch: module was compiled for Python 3.11, but the "
              "interpreter version is incompatible: 3.110.");
}

TEST(Version, IsNonEmptyText) { EXPECT_GT(std::string(vorna::version()).size(), 0u); }

}  // namespace
