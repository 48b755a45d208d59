// corvane-cli: the Version and Reset page (list, status, version, reset).

#include "CliCommands.h"

#include "../protocol/UsbIds.h"

namespace cli {

TExitCode TCli::List(const std::vector<std::string>&)
{
    IHidPlatform* traced = Platform();
    if (!traced)
        return TExitCode::FileError;
    IHidPlatform& platform = *traced;
    std::vector<std::string> entries;
    std::size_t found = 0;
    for (const THidInterfaceInfo& info : platform.Enumerate()) {
        if (!FInv.Device.empty() && !SameDevicePath(info.Path, FInv.Device))
            continue;
        std::uint16_t vendor = info.VendorId;
        std::uint16_t product = info.ProductId;
        std::error_code error;
        std::unique_ptr<IHidHandle> handle = platform.Open(info.Path, error);
        // IDs that enumeration could not tell are asked of the device.
        bool idsKnown = info.IdsKnown;
        if (!idsKnown && handle)
            idsKnown = handle->GetAttributes(vendor, product);
        if (!idsKnown || vendor != CORVANE_USB_IDS.VendorId || product != CORVANE_USB_IDS.ProductId)
            continue;
        ++found;
        const std::string ids = IdsText(vendor, product);
        // A handle with the error set can only query the device (Windows,
        // when another program holds it): that is not one the link can use.
        const bool usable = handle && !error;
        const std::string access = usable ? "can be opened" : "cannot be opened: " + error.message();
        if (FInv.Json) {
            TJsonObject entry;
            entry.Text("path", info.Path).Text("ids", ids).Number("vendor_id", vendor).Number("product_id", product);
            entry.Flag("can_open", usable);
            if (!usable)
                entry.Text("error", error.message());
            entries.push_back(entry.Str());
        } else {
            FOut << info.Path << "  " << ids << "  " << access << '\n';
        }
    }
    FJsonFields.Raw("interfaces", JsonArray(entries));
    FOut.flush();
    if (found == 0)
        return Fail(TExitCode::NoRemote, "no remote with the IDs " +
                                              IdsText(CORVANE_USB_IDS.VendorId, CORVANE_USB_IDS.ProductId) +
                                              " is attached");
    return TExitCode::Success;
}

TExitCode TCli::Status(const std::vector<std::string>&)
{
    if (const TExitCode code = Connect(true); code == TExitCode::FileError)
        return code;
    ops::TOpsContext ctx = Context();
    ops::TStatusResult result = ops::ConnectionLine(ctx);
    ops::OpenFailureLine(ctx);
    {
        TJsonObject& json = FJsonFields;
        json.Flag("connected", result.Connected);
        json.Text("path", FRemote->Device() ? FRemote->Device()->DevicePath() : "");
        if (result.OpenFailure) {
            const std::error_code error = result.OpenFailure->Error;
            json.Raw("open_failure", TJsonObject()
                                         .Text("path", result.OpenFailure->Path)
                                         .Flag("permission_denied", error == std::errc::permission_denied ||
                                                                        error == std::errc::operation_not_permitted)
                                         .Text("error", error.message())
                                         .Str());
        }
    }
    return result.Connected ? TExitCode::Success : TExitCode::NoRemote;
}

TExitCode TCli::Version(const std::vector<std::string>&)
{
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    if (!FInv.Decoded) {
        const ops::TVersionResult result = ops::ReadVersion(ctx);
        return Finish(result, TJsonObject()
                                  .Raw("reply", JsonNumbers(result.Reply))
                                  .Number("architecture", result.Architecture)
                                  .Number("protocol", result.Protocol));
    }
    const ops::TDecodedVersionResult result = ops::ReadDecodedVersion(ctx);
    const TDecodedVersion& v = result.Version;
    TJsonObject json;
    if (result.Ok()) {
        auto pair = [](int major, int minor) { return std::to_string(major) + "." + std::to_string(minor); };
        json.Text("firmware", pair(v.FirmwareMajor, v.FirmwareMinor))
            .Number("board_revision", v.BoardRevision)
            .Number("memory_device", v.MemoryDevice)
            .Number("memory_manufacturer", v.MemoryManufacturer)
            .Number("architecture", v.Architecture)
            .Number("firmware_type", v.FirmwareType)
            .Number("skin", v.Skin)
            .Number("protocol", v.Protocol)
            .Text("bootloader", pair(v.BootloaderMajor, v.BootloaderMinor))
            .Text("pic_library", pair(v.PicLibraryMajor, v.PicLibraryMinor))
            .Text("cpld", pair(v.CpldMajor, v.CpldMinor))
            .Text("safe_mode", pair(v.SafeModeMajor, v.SafeModeMinor))
            .Text("normal_mode", pair(v.NormalModeMajor, v.NormalModeMinor))
            .Text("zwave", pair(v.ZwaveMajor, v.ZwaveMinor))
            .Number("zwave_revision", v.ZwaveRevision);
    }
    return Finish(result, json);
}

TExitCode TCli::Reset(const std::vector<std::string>& args)
{
    int item = 0;  // "USB"
    std::string error;
    if (!args.empty() && !ParseItem(args[0], ops::ResetTypeNames, 1, item, error, "reset type"))
        return Fail(TExitCode::Usage, error);
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    return Finish(ops::Reset(ctx, item + 1));
}

}  // namespace cli
