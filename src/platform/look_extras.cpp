#include "platform/platform.h"

namespace platform {

namespace {
LookExtras extrasOfRun;
}  // namespace

void SetLookExtras(const LookExtras& extras) {
    extrasOfRun = extras;
}

const LookExtras& LookExtrasOfRun() {
    return extrasOfRun;
}

}  // namespace platform
