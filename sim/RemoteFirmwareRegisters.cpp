// The firmware model's registers and its real-time clock, and the register
// requests.
#include "RemoteFirmware.h"
#include "RemoteFirmwarePrivate.h"

using namespace remote_firmware;

namespace {

// --- Clock ---
int DaysInMonth(int month, int yearAfter2000)
{
    const int year = 2000 + yearAfter2000;
    switch (month) {
    case 1:
        return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0 ? 29 : 28;
    case 3:
    case 5:
    case 8:
    case 10:
        return 30;
    default:
        return 31;
    }
}

}  // namespace

// The register requests, passed on by Handle.
void TRemoteFirmware::HandleRegisters(const TByteArray& packet, TTime now, bool answer)
{
    auto at = [&packet](std::size_t i) -> std::uint8_t { return i < packet.size() ? packet[i] : 0; };
    const int code = packet[0] & 0x0F;

    switch (packet[0] & 0xF0) {
    case PKT_READ_MISC: {
        const std::uint8_t miscType = at(1);
        if (code >= 3) {  // word form: 16-bit index
            const std::uint16_t value = Register(miscType, static_cast<std::uint16_t>(at(2) << 8 | at(3)), now);
            if (answer)
                SendShort(ShortReply(PKT_MISC_VALUE | 3, {miscType, static_cast<std::uint8_t>(value >> 8),
                                                          static_cast<std::uint8_t>(value)}),
                          now);
        } else {
            const std::uint16_t value = Register(miscType, at(2), now);
            if (answer)
                SendShort(ShortReply(PKT_MISC_VALUE | 2, {miscType, static_cast<std::uint8_t>(value)}), now);
        }
        break;
    }

    case PKT_WRITE_MISC:
        if (code >= 5)  // word form
            SetRegister(at(1), static_cast<std::uint16_t>(at(2) << 8 | at(3)),
                        static_cast<std::uint16_t>(at(4) << 8 | at(5)), now);
        else
            SetRegister(at(1), at(2), at(3), now);
        if (answer)
            SendShort(ShortReply(PKT_ACK | 1, {PKT_WRITE_MISC}), now);
        break;

    default:
        break;
    }
}

// --- Registers ---------------------------------------------------------------

bool TRemoteFirmware::IsClockIndex(std::uint16_t index) const
{
    return index <= (Architecture() >= 8 ? 6 : 5);
}

namespace {
// The clock register at index, in the layout of the architecture.
int* ClockField(int& seconds, int& minutes, int& hours, int& day, int& dayOfWeek, int& month, int& year,
                int architecture, std::uint16_t index)
{
    int* wide[] = {&seconds, &minutes, &hours, &day, &dayOfWeek, &month, &year};
    int* narrow[] = {&seconds, &minutes, &hours, &day, &month, &year};
    if (architecture >= 8)
        return index < 7 ? wide[index] : nullptr;
    return index < 6 ? narrow[index] : nullptr;
}
}  // namespace

TRemoteFirmware::TClockState TRemoteFirmware::ClockNow(TTime now) const
{
    TClockState clock = FClock;
    if (now <= clock.Base)
        return clock;
    const long long elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - clock.Base).count();
    if (elapsed == 0)
        return clock;
    // Like a real-time clock chip: the fields count on from what was set,
    // the day of the week on its own.
    long long total = clock.Seconds + 60LL * clock.Minutes + 3600LL * clock.Hours + elapsed;
    long long days = total / 86400;
    total %= 86400;
    clock.Hours = static_cast<int>(total / 3600);
    clock.Minutes = static_cast<int>(total / 60 % 60);
    clock.Seconds = static_cast<int>(total % 60);
    for (; days > 0; --days) {
        clock.DayOfWeek = clock.DayOfWeek % 7 + 1;
        if (++clock.Day >= DaysInMonth(clock.Month, clock.Year)) {
            clock.Day = 0;
            if (++clock.Month >= 12) {
                clock.Month = 0;
                ++clock.Year;
            }
        }
    }
    clock.Base = now;
    return clock;
}

std::uint16_t TRemoteFirmware::Register(std::uint8_t miscType, std::uint16_t index, TTime now) const
{
    if (miscType == 1 && IsClockIndex(index)) {
        TClockState c = ClockNow(now);
        return static_cast<std::uint16_t>(*ClockField(c.Seconds, c.Minutes, c.Hours, c.Day, c.DayOfWeek,
                                                      c.Month, c.Year, Architecture(), index));
    }
    const auto it = FRegisters.find({miscType, index});
    return it == FRegisters.end() ? 0 : it->second;
}

void TRemoteFirmware::SetRegister(std::uint8_t miscType, std::uint16_t index, std::uint16_t value, TTime now)
{
    if (miscType == 1 && IsClockIndex(index)) {
        // Setting one field re-bases the whole clock at this moment.
        TClockState c = ClockNow(now);
        *ClockField(c.Seconds, c.Minutes, c.Hours, c.Day, c.DayOfWeek, c.Month, c.Year, Architecture(), index) =
            value;
        c.Base = now;
        FClock = c;
        return;
    }
    FRegisters[{miscType, index}] = value;
}

void TRemoteFirmware::SetClock(int year, int month, int day, int dayOfWeek, int hours, int minutes,
                               int seconds, TTime now)
{
    FClock.Seconds = seconds;
    FClock.Minutes = minutes;
    FClock.Hours = hours;
    FClock.Day = day - 1;
    FClock.DayOfWeek = dayOfWeek;
    FClock.Month = month - 1;
    FClock.Year = year - 2000;
    FClock.Base = now;
}
