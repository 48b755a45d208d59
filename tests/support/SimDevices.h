#pragma once
// Small virtual devices for link tests: a device that records what it is sent
// (and can answer with canned reports), and a mouse.

#include "SimHidBus.h"

#include <mutex>
#include <vector>

class TRecordingDevice : public TSimHidDevice {
public:
    TRecordingDevice(std::uint16_t vendorId = 0x1209, std::uint16_t productId = 0x0001, int inputLength = 65,
                     int outputLength = 65)
        : TSimHidDevice(vendorId, productId, inputLength, outputLength)
    {
    }

    void OnOutputReport(const TByteArray& report) override
    {
        std::lock_guard lock(FMutex);
        FReports.push_back(report);
    }

    std::vector<TByteArray> Reports() const
    {
        std::lock_guard lock(FMutex);
        return FReports;
    }

    // An input report (report ID 0) whose payload starts with the given bytes.
    void Send(std::initializer_list<std::uint8_t> payload)
    {
        TByteArray report(static_cast<std::size_t>(InputReportLength()), 0);
        std::copy(payload.begin(), payload.end(), report.begin() + 1);
        SendInput(report);
    }

private:
    mutable std::mutex FMutex;
    std::vector<TByteArray> FReports;
};

// A boot mouse: other IDs, a 4-byte input report, no output report.
class TSimMouse : public TSimHidDevice {
public:
    TSimMouse() : TSimHidDevice(0x046d, 0xc077, 5, 0) {}
};
