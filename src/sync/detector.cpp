#include "sync/detector.h"

#include <unistd.h>

#include "foundation/logger.h"

Detector::Detector(TaskManager* owner) : Task(owner, nullptr) {}

Detector::~Detector() = default;

void Detector::DoTask() {
    Logger::LogMsg(Logger::L_DEBUG, "detector_debug", "[DEBUG] detector-win2.cpp(%d): detector start\n", __LINE__);
    for (;;) {
        State state = GetState();
        if (state == STOP) {
            Logger::LogMsg(Logger::L_DEBUG, "detector_debug", "[DEBUG] detector-win2.cpp(%d): detector stop\n", __LINE__);
            return;
        }
        if (state == PAUSE) {
            sleep(1);
            continue;
        }
        // No watches yet: idle for a second, as the loop does with no watched folder.
        Wait(1);
    }
}
