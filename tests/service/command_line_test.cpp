#include <gtest/gtest.h>

#include "service/command_line.h"

TEST(HasSwitch, SubstringWithAsciiCaseFolding) {
    const struct {
        const wchar_t* commandLine;
        const wchar_t* switchText;
        bool present;
    } cases[] = {
        {L"C:\\x\\kxclient_service.exe -service", L"-service", true},
        {L"C:\\x\\kxclient_service.exe -SeRvIcE", L"-service", true},
        {L"C:\\x\\kxclient_service.exe --services-off", L"-service", true},  // substring, no tokenising
        {L"C:\\x\\kxclient_service.exe", L"-service", false},
        {L"C:\\x\\kxclient_service.exe -servic", L"-service", false},
        {L"C:\\x\\kxclient_service.exe -V", L"-v", true},
        {L"C:\\my-VMs\\kxclient_service.exe", L"-v", true},  // the program path counts too
        {L"C:\\x\\kxclient_service.exe -po", L"-pos", false},
        {L"C:\\x\\kxclient_service.exe -monitor -AUTOUPDATE", L"-autoupdate", true},
        // Only A to Z fold: a dotless or accented capital is not "i" or "e".
        {L"C:\\x\\kxclient_service.exe -SERV\u0130CE", L"-service", false},
        {L"C:\\x\\kxclient_service.exe -s\u00C9rvice", L"-service", false},
        {L"", L"-v", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HasSwitch(c.commandLine, c.switchText), c.present) << c.commandLine << " / " << c.switchText;
    }
}
