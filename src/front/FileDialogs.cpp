#include "FileDialogs.h"

#include <cctype>
#include <utility>

namespace corvane {

namespace {

int DialogIndex(TFileDialog kind) {
    return kind == TFileDialog::Open ? 0 : 1;
}

// Whether `name` ends in "." + `extension` (lower case), in any case.
bool HasExtension(const std::string& name, const std::string& extension) {
    if (name.size() <= extension.size() || name[name.size() - extension.size() - 1] != '.') {
        return false;
    }
    for (std::size_t i = 0; i < extension.size(); ++i) {
        const char c = name[name.size() - extension.size() + i];
        if (static_cast<char>(std::tolower(static_cast<unsigned char>(c))) != extension[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string TFileFilter::Patterns() const {
#ifdef _WIN32
    if (Extensions.empty()) return "*.*";
#else
    if (Extensions.empty()) return "*";
#endif
    std::string patterns;
    for (const std::string& extension : Extensions) {
        if (!patterns.empty()) patterns += ';';
        patterns += "*." + extension;
    }
    return patterns;
}

std::string TFileFilter::Label() const {
    return Name + " (" + Patterns() + ")";
}

TFileDialogs::TFileDialogs() {
    // Lower case, as every other tool writes it: on Linux "B.Hex" is another
    // file than "B.hex".
    FFilters.push_back({"Intel Hex File", {"hex"}, "hex", TImageFormat::Hex});
    FFilters.push_back({"Binary File", {"bin"}, "bin", TImageFormat::Bin});
    FFilters.push_back({"All Files", {}, "", std::nullopt});
}

TImageFormat TFileDialogs::FormatOf(const TFileChoice& choice) const {
    const TImageFormat byName = FormatOfName(choice.Name);
    // A name that says its format keeps it: the type a dialog opens with is
    // the one chosen last, and "a.hex" typed under it is meant as HEX.
    if (byName == TImageFormat::Bin || HasExtension(choice.Name, "hex")) return byName;
    if (choice.FilterIndex < 0 || choice.FilterIndex >= static_cast<int>(FFilters.size())) {
        return byName;
    }
    return FFilters[static_cast<std::size_t>(choice.FilterIndex)].Format.value_or(byName);
}

TFileRequest TFileDialogs::Request(TFileDialog kind) const {
    TFileRequest request;
    request.Kind = kind;
    request.Filters = FFilters;
    request.FilterIndex = FLastFilter[DialogIndex(kind)];
    request.Folder = FLastFolder;
    return request;
}

void TFileDialogs::Chosen(TFileDialog kind, const TFileChoice& choice) {
    if (choice.FilterIndex >= 0 && choice.FilterIndex < static_cast<int>(FFilters.size())) {
        FLastFilter[DialogIndex(kind)] = choice.FilterIndex;
    }
    Dropped(choice.Name);
}

void TFileDialogs::Dropped(const std::string& fileName) {
    if (std::string folder = FolderOf(fileName); !folder.empty()) FLastFolder = std::move(folder);
}

std::string FolderOf(const std::string& fileName) {
#ifdef _WIN32
    const auto slash = fileName.find_last_of("\\/");
#else
    const auto slash = fileName.find_last_of('/');
#endif
    if (slash == std::string::npos) return {};
    // The root keeps its separator ("/", "C:\").
    const bool root = slash == 0 || (slash == 2 && fileName[1] == ':');
    return fileName.substr(0, root ? slash + 1 : slash);
}

}  // namespace corvane
