/* Runs a Windows program with names that UTF-8 cannot hold, which Wine,
 * whose command line comes from the Unix one, cannot otherwise give it:
 *   spawn_wide.exe [--hold=SHARING:FILE] PROGRAM ARG...
 * Each "%XXXX" in an argument becomes the UTF-16 unit XXXX (hex), an
 * unpaired surrogate say. Every argument is put in quotes, so none may
 * hold a quote or end in a backslash. The exit status is the program's.
 * With --hold, FILE is held open for reading while the program runs, as a
 * viewer would hold it, sharing reading ("r") or reading and writing
 * ("rw"), never deletion; a FILE that cannot be opened ends it with 126. */
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

static HANDLE hold(const wchar_t* option) {
    const wchar_t* file = wcschr(option, L':');
    if (file == NULL) {
        return INVALID_HANDLE_VALUE;
    }
    const DWORD sharing =
        wcsncmp(option, L"rw:", 3) == 0 ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    return CreateFileW(file + 1, GENERIC_READ, sharing, NULL, OPEN_EXISTING, 0, NULL);
}

int wmain(int argc, wchar_t** argv) {
    static wchar_t line[32768];
    size_t at = 0;
    int first = 1;
    HANDLE held = NULL;
    if (argc > 1 && wcsncmp(argv[1], L"--hold=", 7) == 0) {
        held = hold(argv[1] + 7);
        if (held == INVALID_HANDLE_VALUE) {
            return 126;
        }
        first = 2;
    }
    for (int i = first; i < argc && at + wcslen(argv[i]) + 4 < 32768; ++i) {
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
    STARTUPINFOW startup = {.cb = sizeof startup};
    PROCESS_INFORMATION process;
    DWORD status = 127;
    if (CreateProcessW(NULL, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &status);
    }
    if (held != NULL) {
        CloseHandle(held);
    }
    return (int)status;
}
