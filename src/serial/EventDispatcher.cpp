#include "EventDispatcher.h"

#include <cstdio>
#include <stdexcept>
#include <utility>

namespace corvane {

struct TEventDispatcher::TItem {
    TItem(TKind kind, TJob job) : Kind(kind), Job(std::move(job)) {}
    TKind Kind;
    TJob Job;
    bool Taken = false;  // the owner thread has taken it from the queue
    bool Done = false;   // its job has run (Send)
    std::exception_ptr Error;
};

TEventDispatcher::~TEventDispatcher() = default;

void TEventDispatcher::SetWakeOwner(TWakeHook Hook) {
    std::lock_guard lock(FMutex);
    FWakeOwner = std::move(Hook);
}

void TEventDispatcher::SetExceptionHandler(TExceptionHandler Handler) {
    std::lock_guard lock(FMutex);
    FExceptionHandler = std::move(Handler);
}

void TEventDispatcher::Enqueue(const std::shared_ptr<TItem>& Item) {
    TWakeHook hook;
    {
        std::lock_guard lock(FMutex);
        FQueue.push_back(Item);
        hook = FWakeOwner;
    }
    FChanged.notify_all();
    if (hook) hook();
}

void TEventDispatcher::Send(TJob Job) {
    auto item = std::make_shared<TItem>(TKind::Send, std::move(Job));
    Enqueue(item);
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [&] { return item->Done; });
    if (item->Error) std::rethrow_exception(item->Error);
}

void TEventDispatcher::SendMessage(TJob Job) {
    auto item = std::make_shared<TItem>(TKind::Message, std::move(Job));
    Enqueue(item);
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [&] { return item->Taken; });
}

void TEventDispatcher::Post(TJob Job) {
    Enqueue(std::make_shared<TItem>(TKind::Post, std::move(Job)));
}

void TEventDispatcher::Run(const std::shared_ptr<TItem>& Item) {
    if (Item->Kind == TKind::Send) {
        std::exception_ptr error;
        try {
            Item->Job();
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard lock(FMutex);
            Item->Error = error;
            Item->Done = true;
        }
        FChanged.notify_all();
        return;
    }
    try {
        Item->Job();
    } catch (...) {
        ShowException(std::current_exception());
    }
}

int TEventDispatcher::ProcessPending() {
    int count = 0;
    for (;;) {
        std::shared_ptr<TItem> item;
        {
            std::lock_guard lock(FMutex);
            if (FQueue.empty()) break;
            item = std::move(FQueue.front());
            FQueue.pop_front();
            item->Taken = true;
        }
        // A sent message is released before its job runs.
        if (item->Kind == TKind::Message) FChanged.notify_all();
        Run(item);
        ++count;
    }
    return count;
}

void TEventDispatcher::ServeUntil(const std::function<bool()>& Done) {
    for (;;) {
        ProcessPending();
        std::unique_lock lock(FMutex);
        FChanged.wait(lock, [&] { return !FQueue.empty() || Done(); });
        if (FQueue.empty()) return;
    }
}

void TEventDispatcher::Wake() {
    { std::lock_guard lock(FMutex); }
    FChanged.notify_all();
}

bool TEventDispatcher::HasPending() const {
    std::lock_guard lock(FMutex);
    return !FQueue.empty();
}

void TEventDispatcher::ShowException(std::exception_ptr Error) {
    TExceptionHandler handler;
    {
        std::lock_guard lock(FMutex);
        handler = FExceptionHandler;
    }
    if (handler) {
        handler(Error);
        return;
    }
    try {
        std::rethrow_exception(Error);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "unknown exception\n");
    }
}

}  // namespace corvane
