/* Runs a Windows program with names that UTF-8 cannot hold, which Wine,
 * whose command line comes from the Unix one, cannot otherwise give it:
 *   spawn_wide.exe PROGRAM ARG...
 * Each "%XXXX" in an argument becomes the UTF-16 unit XXXX (hex), an
 * unpaired surrogate say. Every argument is put in quotes, so none may
 * hold a quote or end in a backslash. The exit status is the program's. */
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    static wchar_t line[32768];
    size_t at = 0;
    for (int i = 1; i < argc && at + wcslen(argv[i]) + 4 < 32768; ++i) {
        line[at++] = L'"';
        for (const wchar_t* c = argv[i]; *c != L'\0'; ++c) {
            wchar_t hex[5] = {0};
            if (*c == L'%' && wcslen(c) >= 5) {
                wcsncpy(hex, c + 1, 4);
                line[at++] = (wchar_t)wcstoul(hex, NULL, 16);
                c += 4;
            } else {
                line[at++] = *c;
            }
        }
        line[at++] = L'"';
        line[at++] = L' ';
    }
    line[at] = L'\0';
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    DWORD status = 127;
    if (CreateProcessW(NULL, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &status);
    }
    return (int)status;
}
