#pragma once
// The GUI thread's event loop, as the layers below the window see it.
//
// The link delivers arrival and removal events on the GUI thread, and the long
// protocol operations (flash write, infrared capture) keep the window alive by
// dispatching its pending messages between packets. Both go through this
// interface, so the layers below the window need no GUI toolkit: the console
// implements it with Qt, the tests with a plain queue (TTestEventLoop).

#include <functional>

class IGuiEventLoop {
public:
    virtual ~IGuiEventLoop() = default;

    // Any thread. Queues fn to be called on the GUI thread when its event loop
    // next dispatches messages. Calls run in the order they were posted.
    virtual void Post(std::function<void()> fn) = 0;

    // GUI thread. Dispatches the pending messages (posted calls, input, timers,
    // paints). With wait, first waits until at least one message is pending;
    // an implementation may bound that wait (a GUI loop with a running timer
    // never waits long). Handlers dispatched here may run any code of the
    // window, including operations of the protocol layer.
    virtual void DispatchMessages(bool wait) = 0;
};
