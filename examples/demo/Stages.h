// The demo's stages: each shows one part of the library at work in a host program and
// checks its own outcome.
#pragma once

#include <vector>

#include "Report.h"

namespace demo {

// One stage: a name for --stage, a line for --list, and the function that runs it. The
// function prints through `report` and records there every check it makes.
struct Stage {
    const char* name;
    const char* title;
    void (*run)(Report& report);
};

// Every stage, in the order the demo runs them.
const std::vector<Stage>& allStages();

// The entry points that the demo runs in a second copy of itself (`--child NAME args...`).
// Each returns the child's exit code: 0 when it did its part.
int namedMutexChild(const char* mutexName, const char* turnsFile);
int deadlockChild();

// The stages, one family per file.
void runPipeline(Report& report);    // ThreadStages.cpp
void runCache(Report& report);       // ThreadStages.cpp
void runSemaphore(Report& report);   // ThreadStages.cpp
void runNamedMutex(Report& report);  // ProcessStages.cpp
void runDeadlock(Report& report);    // ProcessStages.cpp
void runWindow(Report& report);      // WindowStage.cpp
void runDateTime(Report& report);    // DateTimeStage.cpp

}  // namespace demo
