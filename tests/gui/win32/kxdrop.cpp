// Test helper of the dialog's GUI test (Windows build only): drops files on the dialog as the
// program's test mode takes them, WM_COPYDATA "DROP" with the names, each ended by a zero.
//   usage: kxdrop WINDOW_TITLE NAME...
#include <windows.h>

#include <string>

int main(int argc, char** argv)
{
    if (argc < 3) return 2;
    HWND window = FindWindowA(nullptr, argv[1]);
    if (!window) return 1;
    std::string names;
    for (int i = 2; i < argc; ++i) names.append(argv[i]).push_back('\0');
    COPYDATASTRUCT data{0x504F5244 /* "DROP" */, DWORD(names.size() + 1), names.data()};
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(window, WM_COPYDATA, 0, LPARAM(&data), SMTO_ABORTIFHUNG, 5000, &result) ? 0 : 1;
}
