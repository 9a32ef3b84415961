#pragma once
// Sets an environment variable of this process for one scope.
#include <windows.h>

#include <string>

class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const std::wstring& value) : name(name) {
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedEnv() { SetEnvironmentVariableW(name, nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const wchar_t* name;
};
