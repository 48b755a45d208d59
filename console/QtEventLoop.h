#pragma once
// The GUI event loop of the protocol layer, on Qt.
//
// Post hands a call to the GUI thread through Qt's queued invocation, so the
// link's hotplug notifications run there in the order they were posted.
// DispatchMessages runs Qt's event processing on the GUI thread; that is how
// a flash write or a capture keeps the window alive between packets.

#include "../hid/EventLoop.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>

class TQtEventLoop : public IGuiEventLoop {
public:
    // Create on the GUI thread, after the QApplication. maxWait bounds the
    // wait of DispatchMessages(true): a flash write takes one message per
    // data packet and the window runs no timer then, so on an idle queue an
    // unbounded wait would stall the write until the user moves the mouse.
    explicit TQtEventLoop(std::chrono::milliseconds maxWait = std::chrono::milliseconds(1));
    ~TQtEventLoop() override;

    TQtEventLoop(const TQtEventLoop&) = delete;
    TQtEventLoop& operator=(const TQtEventLoop&) = delete;

    // Any thread. Calls queued when this object is destroyed are dropped.
    void Post(std::function<void()> fn) override;

    // GUI thread. Processes all pending events; with wait, first waits up to
    // maxWait for one to arrive.
    void DispatchMessages(bool wait) override;

    // GUI thread. Receives the text of an error raised by a posted call (a
    // consistency check failing inside a reconnection run by a hotplug
    // notification). Errors must not unwind through Qt's event loop; without
    // a handler they are written to standard error.
    std::function<void(const QString&)> OnError;

private:
    QObject FContext;  // lives on the GUI thread; the target of posted calls
    QTimer FWake;      // ends a bounded wait in DispatchMessages
};
