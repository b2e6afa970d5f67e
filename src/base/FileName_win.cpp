#include <windows.h>

#include "FileName.h"
#include "Win32.h"

namespace corvane {

std::filesystem::path PathOf(const std::string& name) {
    return std::filesystem::path(Widen(name));
}

std::string NameOf(const std::filesystem::path& path) {
    return Narrow(path.native());
}

std::FILE* OpenFile(const std::string& name, const char* mode) {
    return _wfopen(Widen(name).c_str(), Widen(mode).c_str());
}

}  // namespace corvane
