#pragma once
// How the platform backends hand arrival and removal to the GUI thread.

#include "EventLoop.h"
#include "HidPlatform.h"

#include <functional>
#include <memory>
#include <utility>

// What a hotplug watch shares with the calls it has posted. Only the GUI
// thread reads or writes Alive: the watch's destructor runs there, and so do
// the posted calls, so no lock is needed and a call queued before the watch
// was destroyed still does nothing afterwards.
struct THotplugDelivery {
    std::function<void(const THotplugEvent&)> Callback;
    bool Alive = true;  // GUI thread only
};

// Any thread: posts one event to the GUI thread, where the callback runs
// unless the watch is gone by then.
inline void PostHotplugEvent(IGuiEventLoop& loop, const std::shared_ptr<THotplugDelivery>& state,
                             THotplugEvent event)
{
    loop.Post([state, event = std::move(event)] {
        if (!state->Alive)
            return;
        // The callback may destroy the watch, or dispatch messages that end
        // this very call's owner: keep what it uses local.
        const std::shared_ptr<THotplugDelivery> keep = state;
        const THotplugEvent local = event;
        keep->Callback(local);
    });
}
