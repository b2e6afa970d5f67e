#include "ThreadName.h"

namespace corvane {

// Only a debugger shows a thread's name on Windows, and the call that sets it
// is missing from older systems: the thread stays unnamed.
void NameThisThread(const char* /*name*/) {}

}  // namespace corvane
