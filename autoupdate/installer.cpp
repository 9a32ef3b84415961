// Install and Uninstall are steps of the running controller.
#include "autoupdate/update_controller.h"

#include "base/exception.h"

// Running installers is not part of this build: both steps fail honestly.
void UpdateController::Install(const std::wstring&, const std::wstring&) {
    throw AutoUpdateException("Installation is not available in this build");
}

void UpdateController::Uninstall(const std::wstring&) {
    throw AutoUpdateException("Uninstallation is not available in this build");
}
