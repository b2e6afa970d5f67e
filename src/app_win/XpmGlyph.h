#pragma once

#include <windows.h>

namespace corvane::win {

// An icon made from an XPM picture (the buttons' glyphs, shared with the
// Linux window), scaled to `dpi` pixel by pixel: at 144 or 192 dots per inch
// every source pixel becomes a block, sharp where the system would blur.
// The caller destroys it (DestroyIcon).
HICON MakeGlyphIcon(const char* const* xpm, UINT dpi);

}  // namespace corvane::win
