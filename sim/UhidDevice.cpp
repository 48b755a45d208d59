// The kernel side of the uhid devices: one /dev/uhid file and its device, and
// finding the device's hidraw node.
#include "UhidDevice.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

using namespace std::chrono_literals;

std::atomic<unsigned> UhidInstanceCounter{0};

namespace {

using TClock = std::chrono::steady_clock;

constexpr std::uint16_t BusUsb = 0x03;   // BUS_USB of <linux/input.h>

// Writes the first `size` bytes of an event; the kernel zeroes the rest.
bool WriteEvent(int fd, const uhid_event& event, std::size_t size)
{
    for (;;) {
        const ssize_t written = ::write(fd, &event, size);
        if (written >= 0)
            return static_cast<std::size_t>(written) == size;
        if (errno != EINTR)
            return false;
    }
}

}  // namespace

bool TUhidDevice::Open(std::error_code& error)
{
    if (FFd.Valid())
        return true;
    // Non-blocking: the thread drains every pending event, then polls.
    FFd = TFileDescriptor(::open(UhidPath, O_RDWR | O_CLOEXEC | O_NONBLOCK));
    if (!FFd.Valid()) {
        error = std::error_code(errno, std::generic_category());
        return false;
    }
    return true;
}

bool TUhidDevice::Create(const TDeviceIdentity& device, const std::string& uniq)
{
    if (FExists)
        return true;
    std::error_code error;
    if (!Open(error))
        return false;
    auto event = std::make_unique<uhid_event>();
    std::memset(event.get(), 0, sizeof *event);
    event->type = UHID_CREATE2;
    uhid_create2_req& req = event->u.create2;
    std::snprintf(reinterpret_cast<char*>(req.name), sizeof req.name, "%s", device.Name.c_str());
    std::snprintf(reinterpret_cast<char*>(req.phys), sizeof req.phys, "uhid/%s", uniq.c_str());
    // The unique string is how WaitForNode tells this device's hidraw node
    // from every other one: the kernel chooses the node's number.
    std::snprintf(reinterpret_cast<char*>(req.uniq), sizeof req.uniq, "%s", uniq.c_str());
    req.rd_size = static_cast<__u16>(device.DescriptorSize);
    req.bus = BusUsb;
    req.vendor = device.VendorId;
    req.product = device.ProductId;
    req.version = 0x0100;
    std::memcpy(req.rd_data, device.Descriptor, device.DescriptorSize);
    if (!WriteEvent(FFd.Get(), *event, sizeof *event))
        return false;
    FExists = true;
    FUniq = uniq;
    return true;
}

void TUhidDevice::Destroy()
{
    if (!FExists)
        return;
    uhid_event event{};
    event.type = UHID_DESTROY;
    if (!WriteEvent(FFd.Get(), event, sizeof event.type)) {
        // The kernel removes the device with the file that created it.
        FFd.Reset();
    }
    FExists = false;
    FUniq.clear();
}

void TUhidDevice::Input(const TByteArray& report)
{
    if (!FExists)
        return;
    uhid_event event{};
    event.type = UHID_INPUT2;
    const std::size_t size = std::min(report.size(), sizeof event.u.input2.data);
    event.u.input2.size = static_cast<__u16>(size);
    std::memcpy(event.u.input2.data, report.data(), size);
    // Fails (ENODEV) for a device that the kernel has not finished adding:
    // nobody can have asked for the report then.
    WriteEvent(FFd.Get(), event, offsetof(uhid_event, u.input2.data) + size);
}

bool TUhidDevice::Read(uhid_event& event)
{
    if (!FFd.Valid())
        return false;
    for (;;) {
        const ssize_t got = ::read(FFd.Get(), &event, sizeof event);
        if (got >= static_cast<ssize_t>(sizeof event.type))
            return true;
        if (got < 0 && errno == EINTR)
            continue;
        return false;
    }
}

void TUhidDevice::Refuse(const uhid_event& request)
{
    uhid_event reply{};
    if (request.type == UHID_GET_REPORT) {
        reply.type = UHID_GET_REPORT_REPLY;
        reply.u.get_report_reply.id = request.u.get_report.id;
        reply.u.get_report_reply.err = EIO;
        WriteEvent(FFd.Get(), reply, offsetof(uhid_event, u.get_report_reply.data));
    } else if (request.type == UHID_SET_REPORT) {
        reply.type = UHID_SET_REPORT_REPLY;
        reply.u.set_report_reply.id = request.u.set_report.id;
        reply.u.set_report_reply.err = EIO;
        WriteEvent(FFd.Get(), reply, sizeof reply.type + sizeof reply.u.set_report_reply);
    }
}

std::string FindHidrawNode(const std::string& uniq)
{
    namespace fs = std::filesystem;
    const std::string wanted = "HID_UNIQ=" + uniq;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator("/sys/class/hidraw", error)) {
        std::ifstream uevent(entry.path() / "device" / "uevent");
        std::string line;
        while (std::getline(uevent, line)) {
            if (line != wanted)
                continue;
            const std::string node = "/dev/" + entry.path().filename().string();
            return ::access(node.c_str(), F_OK) == 0 ? node : std::string();
        }
    }
    return {};
}

std::string WaitForUniq(const std::function<std::string()>& uniqNow, std::chrono::milliseconds limit)
{
    const auto end = TClock::now() + limit;
    for (;;) {
        const std::string uniq = uniqNow();
        if (uniq.empty())
            return {};
        std::string node = FindHidrawNode(uniq);
        if (!node.empty() || TClock::now() >= end)
            return node;
        std::this_thread::sleep_for(2ms);
    }
}
