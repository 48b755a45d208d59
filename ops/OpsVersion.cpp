#include "Operations.h"
#include "OperationsPrivate.h"

#include <system_error>

namespace ops {

using namespace detail;

const std::array<std::string_view, 4> ResetTypeNames{"USB", "device", "device disconnect",
                                                     "(invalidate) test firmware"};

// --- Connection ---------------------------------------------------------------------------

TStatusResult ConnectionLine(TOpsContext& ctx)
{
    TStatusResult result;
    result.Connected = ctx.Remote.Connected();
    if (const TUsbDevice* device = ctx.Remote.Device()) result.OpenFailure = device->OpenFailure();
    if (!result.Connected) result.Outcome = TOutcome::NoDevice;
    ctx.Sink.Line(result.Connected ? "Device connected" : "Device not connected");
    return result;
}

void OpenFailureLine(TOpsContext& ctx)
{
    if (ctx.Remote.Connected()) return;
    const TUsbDevice* device = ctx.Remote.Device();
    if (!device || !device->OpenFailure()) return;
    const TOpenFailure& failure = *device->OpenFailure();
    if (failure.Error == std::errc::permission_denied || failure.Error == std::errc::operation_not_permitted) {
        // Points at what every installation has: the manual page, which
        // describes the rule, where it goes and how to apply it.
        ctx.Sink.Line("Permission denied on " + failure.Path + ": the udev rule 69-corvane-one.rules is needed, see "
                      "man corvane-console");
    } else {
        ctx.Sink.Line("Cannot open " + failure.Path + ": " + failure.Error.message());
    }
}

TStatusResult Status(TOpsContext& ctx)
{
    TStatusResult result = ConnectionLine(ctx);
    OpenFailureLine(ctx);
    if (!result.Connected) ctx.Sink.Line("Connect device and use Reinitialize USB");
    return result;
}

TStatusResult Reinitialize(TOpsContext& ctx)
{
    if (RefuseWhileBusy(ctx)) {
        TStatusResult result;
        result.Connected = ctx.Remote.Connected();
        result.Outcome = TOutcome::Failed;
        return result;
    }
    ctx.Remote.Reconnect();
    TStatusResult result = ConnectionLine(ctx);
    OpenFailureLine(ctx);
    return result;
}

// --- Version and reset ----------------------------------------------------------------------

TVersionResult ReadVersion(TOpsContext& ctx)
{
    TVersionResult result;
    if (!ctx.Remote.GetVersion(result.Reply)) {
        ctx.Sink.Line("Error reading version information");
        return Failure(ctx, std::move(result));
    }
    result.Architecture = ctx.Remote.Architecture();
    result.Protocol = ctx.Remote.Protocol();
    std::string line = "Received (hex): ";
    for (std::size_t i = 0; i < result.Reply.size(); ++i) {
        if (i > 0) line += ' ';
        AppendHexByte(line, result.Reply[i]);
    }
    ctx.Sink.Line(line);
    return result;
}

TDecodedVersionResult ReadDecodedVersion(TOpsContext& ctx)
{
    TDecodedVersionResult result;
    if (!ctx.Remote.GetDecodedVersion(result.Version)) {
        ctx.Sink.Line("Error reading decoded version information");
        return Failure(ctx, std::move(result));
    }
    const TDecodedVersion& v = result.Version;
    ctx.Sink.Lines({
        "Version information:",
        Format("  Firmware             %d.%d", v.FirmwareMajor, v.FirmwareMinor),
        Format("  Board revision       %d", v.BoardRevision),
        Format("  Memory device        %d", v.MemoryDevice),
        Format("  Memory manufacturer  %d", v.MemoryManufacturer),
        Format("  Architecture         %d", v.Architecture),
        Format("  Firmware type        %d", v.FirmwareType),
        Format("  Skin                 %d", v.Skin),
        Format("  Protocol             %d", v.Protocol),
        Format("  Bootloader           %d.%d", v.BootloaderMajor, v.BootloaderMinor),
        Format("  PIC library          %d.%d", v.PicLibraryMajor, v.PicLibraryMinor),
        Format("  CPLD                 %d.%d", v.CpldMajor, v.CpldMinor),
        Format("  Safe mode            %d.%d", v.SafeModeMajor, v.SafeModeMinor),
        Format("  Normal mode          %d.%d", v.NormalModeMajor, v.NormalModeMinor),
        Format("  Zwave                %d.%d", v.ZwaveMajor, v.ZwaveMinor),
        Format("  Zwave revision       %d", v.ZwaveRevision),
    });
    return result;
}

TResult Reset(TOpsContext& ctx, int type)
{
    if (type < 1 || type > static_cast<int>(ResetTypeNames.size())) {
        TResult result;
        result.Outcome = TOutcome::BadInput;
        result.Error = "reset type must be 1 to 4";
        return result;
    }
    const bool ok = ctx.Remote.Reset(static_cast<std::uint8_t>(type));
    const std::string name(ResetTypeNames[static_cast<std::size_t>(type - 1)]);
    ctx.Sink.Line(ok ? "Reset " + name + " successful" : "Reset " + name + " failed");
    return ok ? TResult{} : Failure<TResult>(ctx);
}

}  // namespace ops
