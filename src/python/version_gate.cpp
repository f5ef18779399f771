#include "python/version_gate.h"

#include <cstring>

namespace vorna::python {

bool python_version_accepted(const char* runtime_version) {
    if (runtime_version == nullptr) return false;
    const size_t len = std::strlen(kCompiledPythonVersion);
    if (std::strncmp(runtime_version, kCompiledPythonVersion, len) != 0) return false;
    const char next = runtime_version[len];
    return !(next >= '0' && next <= '9');
}

std::string python_version_mismatch_message(const char* runtime_version) {
    return std::string("Python version mismatch: module was compiled for Python ") +
           kCompiledPythonVersion + ", but the interpreter version is incompatible: " +
           (runtime_version ? runtime_version : "") + ".";
}

}  // namespace vorna::python
