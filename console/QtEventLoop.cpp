#include "QtEventLoop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>

#include <cstdio>
#include <exception>

TQtEventLoop::TQtEventLoop(std::chrono::milliseconds maxWait)
{
    FWake.setSingleShot(true);
    FWake.setTimerType(Qt::PreciseTimer);
    FWake.setInterval(maxWait);
}

TQtEventLoop::~TQtEventLoop() = default;

void TQtEventLoop::Post(std::function<void()> fn)
{
    // Queued invocation is safe from any thread; the call runs on FContext's
    // thread, and Qt drops it if FContext is gone by then.
    QMetaObject::invokeMethod(
        &FContext,
        [this, fn = std::move(fn)] {
            try {
                fn();
            } catch (const std::exception& e) {
                const QString text = QString::fromLocal8Bit(e.what());
                if (OnError)
                    OnError(text);
                else
                    std::fprintf(stderr, "%s\n", e.what());
            }
        },
        Qt::QueuedConnection);
}

void TQtEventLoop::DispatchMessages(bool wait)
{
    if (!wait) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return;
    }
    // WaitForMoreEvents returns as soon as something was processed; the
    // single-shot timer is that something when the queue stays idle.
    FWake.start();
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    FWake.stop();
}
