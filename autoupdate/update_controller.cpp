#include "autoupdate/update_controller.h"

// No update can be started by this build yet.
ControllerProgress QueryControllerProgress() { return ControllerProgress::None; }
