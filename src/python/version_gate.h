#pragma once

#include <string>

namespace vorna::python {

// The interpreter version the module is built for.
inline constexpr const char* kCompiledPythonVersion = "3.11";

// True when `runtime_version` (the interpreter's version text) starts with "3.11" and the
// next character is not a digit, so that "3.11.7" passes but "3.110" and "3.12.0" do not.
bool python_version_accepted(const char* runtime_version);

// The ImportError text for a refused interpreter version.
std::string python_version_mismatch_message(const char* runtime_version);

}  // namespace vorna::python
