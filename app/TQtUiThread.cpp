// Queued and blocking-queued invocations on a UI-thread object.
#include "app/TQtUiThread.h"

#include <QMetaObject>
#include <QThread>

TQtUiThread::TQtUiThread() = default;

void TQtUiThread::Post(std::function<void()> fn) {
    QMetaObject::invokeMethod(&Target, std::move(fn), Qt::QueuedConnection);
}

void TQtUiThread::RunAndWait(std::function<void()> fn) {
    if (IsUiThread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(&Target, std::move(fn), Qt::BlockingQueuedConnection);
}

bool TQtUiThread::IsUiThread() const {
    return QThread::currentThread() == Target.thread();
}
