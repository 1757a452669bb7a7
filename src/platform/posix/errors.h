// The platform's error codes for POSIX failures: the few the walk tells apart by name, and every
// other errno carried whole, so that its own text can be shown.
#pragma once

#include "platform/posix/windows_api.h"

namespace platform::posix {

DWORD ErrorOf(int error);

// SetLastError(ErrorOf(error)).
void SetLastErrno(int error);

}  // namespace platform::posix
