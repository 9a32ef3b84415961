#include "service/console.h"

#include <windows.h>

#include <cstdio>

void WriteConsoleLine(const char* text) {
    printf("%s\n", text);
    fflush(stdout);
}

void WaitForKeyPress() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    if (GetConsoleMode(input, &mode)) {
        SetConsoleMode(input, 0);  // no echo, no line editing
        INPUT_RECORD record;
        DWORD read = 0;
        while (ReadConsoleInputW(input, &record, 1, &read)) {
            if (read == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) break;
        }
        SetConsoleMode(input, mode);
        return;
    }
    char byte;
    DWORD read = 0;
    ReadFile(input, &byte, 1, &read, nullptr);
}
