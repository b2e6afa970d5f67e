#include "FileName.h"

namespace corvane {

std::filesystem::path PathOf(const std::string& name) {
    return std::filesystem::path(name);
}

std::string NameOf(const std::filesystem::path& path) {
    return path.string();
}

std::FILE* OpenFile(const std::string& name, const char* mode) {
    return std::fopen(name.c_str(), mode);
}

}  // namespace corvane
