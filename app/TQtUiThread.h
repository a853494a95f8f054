// The UI-thread interface over Qt: routines are queued to (or run blocking on) the thread that
// created this object, which must be the one running QApplication::exec. main makes it and
// hands it to the main window.
#pragma once

#include <QObject>

#include "platform/UiThread.h"

class TQtUiThread : public TUiThread {
public:
    TQtUiThread();

    void Post(std::function<void()> fn) override;
    void RunAndWait(std::function<void()> fn) override;
    bool IsUiThread() const override;

private:
    QObject Target;  // lives on the UI thread; queued calls are delivered to it
};
