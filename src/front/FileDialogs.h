#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ImageFile.h"

namespace corvane {

// Which file dialog a Send or a Read asks with.
enum class TFileDialog { Open, Save };

// One entry of a file dialog's list of types.
struct TFileFilter {
    // As the list shows it, without the patterns: "Intel Hex File".
    std::string Name;
    // The extensions it shows, without the dot: {"hex"} shows "*.hex"; none
    // shows every file.
    std::vector<std::string> Extensions;
    // Added to a typed name that has no extension while this entry is chosen.
    std::string DefaultExtension;
    // The format of a file chosen with it; unset: the name decides.
    std::optional<TImageFormat> Format;

    // "*.hex", or "*.a;*.b" for several; every file: "*" ("*.*" on Windows).
    std::string Patterns() const;
    // "Intel Hex File (*.hex)".
    std::string Label() const;
};

// What a file dialog is to offer when it opens. An open dialog wants a file
// that exists; a save dialog wants an existing folder and asks before it
// replaces a file.
struct TFileRequest {
    TFileDialog Kind = TFileDialog::Open;
    std::vector<TFileFilter> Filters;
    // The entry chosen when the dialog opens (an index into Filters).
    int FilterIndex = 0;
    // The folder it opens in; empty: the toolkit's own choice.
    std::string Folder;
};

// What the user chose: the name as the link's file calls take it (UTF-8 on
// Windows, the file system's bytes on Linux) and the entry of the list that
// was chosen then.
struct TFileChoice {
    std::string Name;
    int FilterIndex = 0;
};

// The file dialogs' policy, the same in every window: the types offered
// (Intel HEX first, raw binary, all files), the default extension, the format
// of the file chosen, and the folder of the file chosen (or dropped) last,
// where both dialogs open next.
class TFileDialogs {
public:
    TFileDialogs();

    TFileRequest Request(TFileDialog kind) const;
    // A file was chosen in a dialog: both dialogs open in its folder next,
    // and this one with the entry chosen.
    void Chosen(TFileDialog kind, const TFileChoice& choice);
    // A file was dropped on the window: both dialogs open in its folder next.
    void Dropped(const std::string& fileName);
    // The format of a file chosen: a name that ends in ".bin" is a raw binary
    // file and one that ends in ".hex" Intel HEX, whatever the type chosen;
    // otherwise the type chosen says it (all files: Intel HEX).
    TImageFormat FormatOf(const TFileChoice& choice) const;
    const std::string& LastFolder() const { return FLastFolder; }
    const std::vector<TFileFilter>& Filters() const { return FFilters; }

private:
    std::vector<TFileFilter> FFilters;
    std::string FLastFolder;
    // The entry chosen last in each dialog (Open, Save).
    int FLastFilter[2] = {0, 0};
};

// The folder part of a file name (empty when the name has none).
std::string FolderOf(const std::string& fileName);

}  // namespace corvane
