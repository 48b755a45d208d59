// Libraries planted beside the program under the names of the system
// libraries that the backend loads at run time ("hid.dll", "setupapi.dll",
// "winmm.dll"; each a copy of the incomplete stand-in, which lacks entry
// points): the backend must load the system's own and never these.

#include "HidApiWindows.h"
#include "HidPlatform.h"
#include "TimerResolution.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string LowerCase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string ModuleFile(HMODULE module)
{
    char name[MAX_PATH] = "";
    const DWORD length = ::GetModuleFileNameA(module, name, sizeof name);
    return LowerCase(std::string(name, length));
}

std::string ProgramFolder()
{
    const std::string program = ModuleFile(nullptr);
    return program.substr(0, program.find_last_of("\\/") + 1);
}

std::string SystemFolder()
{
    char folder[MAX_PATH] = "";
    const UINT length = ::GetSystemDirectoryA(folder, sizeof folder);
    return LowerCase(std::string(folder, length)) + "\\";
}

}  // namespace

TEST(TPlantedLibraries, TheSystemsOwnAreLoaded)
{
    for (const char* name : {"hid.dll", "setupapi.dll", "winmm.dll"}) {
        SCOPED_TRACE(name);
        // The plant is there and could be loaded by its full name.
        const std::string planted = ProgramFolder() + name;
        ASSERT_NE(::GetFileAttributesA(planted.c_str()), INVALID_FILE_ATTRIBUTES);
        HMODULE module = LoadSystemLibrary(planted.c_str());
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(ModuleFile(module), LowerCase(planted));
        EXPECT_EQ(::GetProcAddress(module, "HidD_SetNumInputBuffers"), nullptr);
        ::FreeLibrary(module);
        EXPECT_EQ(::GetModuleHandleA(planted.c_str()), nullptr);
    }

    THidApi api;
    ASSERT_TRUE(api.LoadHidApi());
    EXPECT_EQ(ModuleFile(api.HidModule()), SystemFolder() + "hid.dll");
    EXPECT_EQ(ModuleFile(api.SetupApiModule()), SystemFolder() + "setupapi.dll");

    const TFineTimers fineTimers;
    EXPECT_TRUE(fineTimers.Granted());
    HMODULE winmm = ::GetModuleHandleA("winmm.dll");
    ASSERT_NE(winmm, nullptr);
    EXPECT_EQ(ModuleFile(winmm), SystemFolder() + "winmm.dll");

    // The platform binds and enumerates as it would elsewhere.
    auto platform = CreateSystemHidPlatform();
    std::printf("HID interfaces present: %zu\n", platform->Enumerate().size());
}
