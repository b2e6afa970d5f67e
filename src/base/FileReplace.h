#pragma once

#include <string>
#include <string_view>

namespace corvane {

// Replaces the contents of the file `fileName` names with `text`, all or
// nothing: the text goes into a new file beside it, which takes the old
// file's place only once it is all on disk, so a failed save never destroys
// the file that was there.
//
// A symbolic link on the name's last part is followed, so that the file it
// names is written and the link stays; in a folder that everyone may write to
// and that has the sticky bit (such as /tmp), only when the link belongs to
// this user or to the folder's owner, as the system itself follows links on
// open there. Anyone else's link is refused with EACCES and nothing changes.
//
// Only a file that this user may write is replaced (on Linux a file without
// any write bit is refused to root too; on Windows a read-only file); others
// fail with the system's "permission denied" and stay as they are. A file
// that is replaced keeps its mode, less the set-user-ID, set-group-ID and
// sticky bits; a new one gets the mode the process's file mask gives it.
// Errors raise EInOutError with the system's message.
void ReplaceFileContents(const std::string& fileName, std::string_view text);

// Raises what ReplaceFileContents would raise when the file that `fileName`
// names is there and may not be replaced, and changes nothing: a caller
// refuses before it spends time on what it would save.
void CheckReplaceable(const std::string& fileName);

}  // namespace corvane
