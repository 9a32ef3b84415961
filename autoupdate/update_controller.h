#pragma once
// What the worker's main loop needs to know about this process's update.

enum class ControllerProgress {
    None,      // no update instruction was accepted
    Finished,  // the update task has ended
    Running,
};

ControllerProgress QueryControllerProgress();
