// How a worker thread reaches an object on the GUI thread: calls posted here run there, in the
// order posted, and are dropped once the owner has closed the mailbox or gone.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include <functional>
#include <mutex>

namespace tg {

class Mailbox {
public:
    explicit Mailbox(QObject* home) : home_(home) {}

    // Any thread.
    void post(std::function<void()> call) {
        std::lock_guard lock(mutex_);
        if (home_) QMetaObject::invokeMethod(home_.data(), std::move(call), Qt::QueuedConnection);
    }
    bool isOpen() const {
        std::lock_guard lock(mutex_);
        return !home_.isNull();
    }
    // GUI thread, by the owner before it goes: after this, no post reaches it.
    void close() {
        std::lock_guard lock(mutex_);
        home_ = nullptr;
    }

private:
    mutable std::mutex mutex_;
    QPointer<QObject> home_;
};

} // namespace tg
