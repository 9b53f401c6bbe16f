// kestrixw, the dialog edition: the program's only window is the main dialog, run modally.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

#include "core/version.h"
#include "gui/win32/app.h"
#include "platform/platform.h"

// Process-wide by nature: the module handle Windows gave the program at start.
HINSTANCE program_instance = nullptr;

namespace {

// The three-dimensional control look of Windows 3.x: CTL3D32.DLL, when it is there.
struct Ctl3d {
    int ctl3d_registered = 0;
    HMODULE library = nullptr;
};
Ctl3d ctl3d;

using Ctl3dFn = BOOL(WINAPI*)(HINSTANCE);

Ctl3dFn ctl3d_entry(const char* name)
{
    // Through void(*)(): the library's entry points have their own types.
    return reinterpret_cast<Ctl3dFn>(reinterpret_cast<void (*)()>(GetProcAddress(ctl3d.library, name)));
}

void ctl3d_switch(int on, HINSTANCE instance)
{
    if (!on) {
        if (ctl3d.ctl3d_registered == 1 && ctl3d.library)
            if (Ctl3dFn unregister = ctl3d_entry("Ctl3dUnregister"))
                unregister(instance);
        ctl3d.ctl3d_registered = 0;
        return;
    }
    const UINT old_mode = SetErrorMode(SEM_NOOPENFILEERRORBOX);
    ctl3d.library = LoadLibraryA("CTL3D32.DLL");
    SetErrorMode(old_mode);
    if (!ctl3d.library) return;
    Ctl3dFn reg = ctl3d_entry("Ctl3dRegister");
    Ctl3dFn unreg = ctl3d_entry("Ctl3dUnregister");
    Ctl3dFn subclass = ctl3d_entry("Ctl3dAutoSubclass");
    if (!reg || !unreg || !subclass) {
        ctl3d.ctl3d_registered = 0;
        return;
    }
    if (reg(instance) != 1) return;
    ctl3d.ctl3d_registered = 1;
    subclass(instance);
}

// kestrixw --version: the version on standard output when it leads somewhere (a pipe, a file),
// else in the console the program was started from, else in a message box.
bool asked_for_version()
{
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    bool asked = false;
    for (int i = 1; args && i < count; ++i) asked = asked || std::wcscmp(args[i], L"--version") == 0;
    if (args) LocalFree(args);
    return asked;
}

void show_version()
{
    const std::string text = std::string("kestrixw ") + program_version() + "\n";
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if ((!out || out == INVALID_HANDLE_VALUE) && AttachConsole(ATTACH_PARENT_PROCESS))
        out = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD written = 0;
    if (out && out != INVALID_HANDLE_VALUE && WriteFile(out, text.data(), DWORD(text.size()), &written, nullptr))
        return;
    MessageBoxA(nullptr, text.c_str(), "kestrixw", MB_OK | MB_ICONINFORMATION);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    platform::open_closed_standard_descriptors();
    if (asked_for_version()) {
        show_version();
        return 0;
    }
    const bool old = LOBYTE(LOWORD(GetVersion())) <= 3;
    if (old) ctl3d_switch(1, instance);
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    program_instance = instance;
    DialogBoxParamA(instance, "DIALOG_1", nullptr, &main_dialog_proc, 0);
    // A job that does not stop in time ends with the process, before anything it may still use
    // is torn down.
    if (!end_dialog_job(5000)) ExitProcess(0);
    if (old) ctl3d_switch(0, instance);
    return 0;
}
