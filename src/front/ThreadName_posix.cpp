#include <pthread.h>

#include "ThreadName.h"

namespace corvane {

void NameThisThread(const char* name) {
    pthread_setname_np(pthread_self(), name);
}

}  // namespace corvane
