#pragma once

#include <string>
#include <string_view>

// Files that must survive a pulled plug: on disk, under their name, before
// the call returns. One source per system (DurableFile_posix.cpp,
// DurableFile_win.cpp).
namespace corvane::station {

// Replaces the file `path` with `text`, all or nothing. Linux: written and
// synced beside it, renamed into place, the folder synced; Windows: written
// and flushed beside it, then one rename that replaces and writes through.
// Raises an exception (EInOutError) with the system's message.
void ReplaceDurably(const std::string& path, std::string_view text);

// Makes a file just created (its name in the folder) durable: Linux syncs
// the folder; Windows keeps names on disk as they are made.
void SyncFolderOf(const std::string& path);

}  // namespace corvane::station
