#include <windows.h>

#include <string>

#include "base/log.h"
#include "service/service_host.h"

int wmain(int, wchar_t**) {
    LogEnter(nullptr);
    ServiceHost::Instance().Run(std::wstring(GetCommandLineW()));
    LogExit(nullptr);
    return 0;
}
