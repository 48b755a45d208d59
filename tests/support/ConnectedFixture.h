#pragma once
// A TCorvaneOne connected to a healthy simulated remote on the simulated bus,
// with shortened waits (FastTiming unless given); what the connection itself
// sent is forgotten.

#include "CorvaneInterface.h"
#include "FastTiming.h"
#include "SimRemote.h"
#include "TestEventLoop.h"
#include "WireScript.h"

#include <gtest/gtest.h>

#include <memory>

template <typename TRemote = TSimRemote, TTiming (*MakeTiming)() = FastTiming>
struct TConnectedFixture : ::testing::Test {
    TScopedTiming Fast{MakeTiming()};
    TTestEventLoop Loop;
    TSimHidBus Bus;
    std::shared_ptr<TRemote> Sim = std::make_shared<TRemote>();
    std::unique_ptr<TCorvaneOne> Corvane;
    int StatusChanges = 0;

    void SetUp() override
    {
        Bus.Plug(Sim);
        Corvane = std::make_unique<TCorvaneOne>(Bus, Loop);
        ASSERT_TRUE(Corvane->Connected());
        Corvane->OnStatusChange = [this] { ++StatusChanges; };
        Sim->WaitIdle();
        Sim->ClearReceived();
    }

    // What the remote received, once it is idle; then forgets it.
    TReports Received()
    {
        Sim->WaitIdle();
        TReports received = Sim->Received();
        Sim->ClearReceived();
        return received;
    }
};
