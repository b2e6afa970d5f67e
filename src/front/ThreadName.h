#pragma once

namespace corvane {

// Names the calling thread where the system shows thread names (ps, top, a
// debugger; at most 15 characters are kept).
void NameThisThread(const char* name);

}  // namespace corvane
