#include "GuiQueue.h"

#include <utility>

namespace corvane {

void TGuiQueue::Post(TJob job) {
    {
        std::lock_guard lock(FLock);
        FJobs.push_back(std::move(job));
    }
    FWake.WakeGui();
}

int TGuiQueue::Drain() {
    int count = 0;
    for (;;) {
        TJob job;
        {
            std::lock_guard lock(FLock);
            if (FJobs.empty()) return count;
            job = std::move(FJobs.front());
            FJobs.pop_front();
        }
        job();
        ++count;
    }
}

}  // namespace corvane
