#pragma once
// The HID class driver ("hid.dll") and the device-setup functions
// ("setupapi.dll") as the Windows backend binds them: at run time, eleven
// entry points in a fixed order. Windows only.
//
// The records and function types are declared here rather than taken from
// the driver kit's headers, which a plain SDK install does not have; only
// the few the backend uses, laid out as the HID class driver and the setup
// functions define them (the sizes are checked below).

#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max, not the macros
#endif
#include <windows.h>

#include <cstdint>
#include <string>

class IHotplugWatch;

// ---------------------------------------------------------------------------
// Records

// Vendor, product and version of a HID device.
struct THiddAttributes {
    ULONG Size;  // 12
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
};
static_assert(sizeof(THiddAttributes) == 12);

// The top-level collection's capabilities; the backend uses the two report
// lengths (report-ID byte included).
struct THidpCaps {
    USHORT Usage;
    USHORT UsagePage;
    USHORT InputReportByteLength;
    USHORT OutputReportByteLength;
    USHORT FeatureReportByteLength;
    USHORT Reserved[17];
    USHORT NumberLinkCollectionNodes;
    USHORT NumberInputButtonCaps;
    USHORT NumberInputValueCaps;
    USHORT NumberInputDataIndices;
    USHORT NumberOutputButtonCaps;
    USHORT NumberOutputValueCaps;
    USHORT NumberOutputDataIndices;
    USHORT NumberFeatureButtonCaps;
    USHORT NumberFeatureValueCaps;
    USHORT NumberFeatureDataIndices;
};
static_assert(sizeof(THidpCaps) == 64);

// What HidP_GetCaps returns on success.
constexpr LONG HidpStatusSuccess = 0x110000;

// The setup functions' records are packed to 1 byte on 32-bit Windows and to
// 8 on 64-bit Windows, and the functions check each record's size field
// against the size for their own width: a 64-bit process must pass 32, 32 and
// 8 where a 32-bit one passes 28, 28 and 5.
#ifdef _WIN64
#pragma pack(push, 8)
#else
#pragma pack(push, 1)
#endif
struct TSpDeviceInterfaceData {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
struct TSpDevinfoData {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
// A size field and the device path behind it, zero-terminated; the record is
// allocated as long as the first detail query says.
struct TSpDeviceInterfaceDetailDataA {
    DWORD cbSize;
    CHAR DevicePath[1];
};
#pragma pack(pop)
#ifdef _WIN64
static_assert(sizeof(TSpDeviceInterfaceData) == 32 && sizeof(TSpDevinfoData) == 32 &&
              sizeof(TSpDeviceInterfaceDetailDataA) == 8);
#else
static_assert(sizeof(TSpDeviceInterfaceData) == 28 && sizeof(TSpDevinfoData) == 28 &&
              sizeof(TSpDeviceInterfaceDetailDataA) == 5);
#endif

// SetupDiGetClassDevsA: only present devices, by device interface class.
constexpr DWORD DigcfPresentInterfaces = 0x12;

// ---------------------------------------------------------------------------
// Entry points

using THidDGetHidGuid = void(WINAPI*)(GUID* hidGuid);
using THidDGetAttributes = BOOLEAN(WINAPI*)(HANDLE device, THiddAttributes* attributes);
using THidDGetNumInputBuffers = BOOLEAN(WINAPI*)(HANDLE device, ULONG* numberBuffers);
using THidDSetNumInputBuffers = BOOLEAN(WINAPI*)(HANDLE device, ULONG numberBuffers);
using THidPGetCaps = LONG(WINAPI*)(void* preparsedData, THidpCaps* capabilities);
using THidDGetPreparsedData = BOOLEAN(WINAPI*)(HANDLE device, void** preparsedData);
using THidDFreePreparsedData = BOOLEAN(WINAPI*)(void* preparsedData);
using TSetupDiGetClassDevsA = HANDLE(WINAPI*)(const GUID* classGuid, const char* enumerator, HWND parent,
                                              DWORD flags);
using TSetupDiEnumDeviceInterfaces = BOOL(WINAPI*)(HANDLE deviceInfoSet, TSpDevinfoData* deviceInfoData,
                                                   const GUID* interfaceClassGuid, DWORD memberIndex,
                                                   TSpDeviceInterfaceData* deviceInterfaceData);
using TSetupDiGetDeviceInterfaceDetailA = BOOL(WINAPI*)(HANDLE deviceInfoSet,
                                                        TSpDeviceInterfaceData* deviceInterfaceData,
                                                        TSpDeviceInterfaceDetailDataA* detailData,
                                                        DWORD detailDataSize, DWORD* requiredSize,
                                                        TSpDevinfoData* deviceInfoData);
using TSetupDiDestroyDeviceInfoList = BOOL(WINAPI*)(HANDLE deviceInfoSet);

// The two libraries and their eleven entry points. Loaded by LoadHidApi,
// freed ("setupapi.dll" first) by the destructor. Not copyable: the entry
// points belong to the modules this object holds.
class THidApi {
public:
    THidApi() = default;
    ~THidApi();
    THidApi(const THidApi&) = delete;
    THidApi& operator=(const THidApi&) = delete;

    // Loads the two libraries with LoadSystemLibrary (the names are for
    // tests; a module loaded earlier by this object is freed first) and looks up the eleven entry
    // points by name: the first seven in the HID library, the last four in
    // the setup library. True when all eleven were found. When the HID
    // library cannot be loaded, or an entry point is missing, both libraries
    // are freed and every entry point is null; when only the setup library
    // cannot be loaded, the HID library stays loaded until destruction.
    bool LoadHidApi(const char* hidName = "hid.dll", const char* setupApiName = "setupapi.dll");

    // All eleven entry points are bound. The two input-buffer functions
    // count, although the backend never calls them.
    bool HidApiComplete() const;

    HMODULE HidModule() const { return FHidModule; }
    HMODULE SetupApiModule() const { return FSetupApiModule; }

    // In the order they are bound.
    THidDGetHidGuid HidD_GetHidGuid = nullptr;
    THidDGetAttributes HidD_GetAttributes = nullptr;
    THidDGetNumInputBuffers HidD_GetNumInputBuffers = nullptr;
    THidDSetNumInputBuffers HidD_SetNumInputBuffers = nullptr;
    THidPGetCaps HidP_GetCaps = nullptr;
    THidDGetPreparsedData HidD_GetPreparsedData = nullptr;
    THidDFreePreparsedData HidD_FreePreparsedData = nullptr;
    TSetupDiGetClassDevsA SetupDiGetClassDevsA = nullptr;
    TSetupDiEnumDeviceInterfaces SetupDiEnumDeviceInterfaces = nullptr;
    TSetupDiGetDeviceInterfaceDetailA SetupDiGetDeviceInterfaceDetailA = nullptr;
    TSetupDiDestroyDeviceInfoList SetupDiDestroyDeviceInfoList = nullptr;

private:
    void FreeLibraries();
    void ClearEntryPoints();

    HMODULE FHidModule = nullptr;
    HMODULE FSetupApiModule = nullptr;
};

// Loads a library of the system: a bare name ("hid.dll") from the system
// directory only, never from the program's folder or the search path; a
// name with a folder (tests) from that folder, its dependencies again from
// the system directory. Null when it cannot be loaded.
HMODULE LoadSystemLibrary(const char* name);

// ---------------------------------------------------------------------------
// For tests

// The class name of the hidden windows that receive device-change messages.
extern const char* const HidNotifyWindowClass;

// The hidden window of a hotplug watch made by the Windows platform, and
// whether its device-change registration succeeded. A null window when the
// watch has none (no HID binding, or no window could be created).
struct TNotifyWindowInfo {
    HWND Window = nullptr;
    bool Registered = false;
};
TNotifyWindowInfo NotifyWindowOf(const IHotplugWatch& watch);

// Vendor and product ID as a device path spells them ("...vid_1209&pid_0001...",
// any case), for a device that can no longer be opened.
bool IdsFromDevicePath(const std::string& path, std::uint16_t& vendorId, std::uint16_t& productId);
