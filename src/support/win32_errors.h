// Windows' last error as errno, for the layer's callers, which know only
// errno's kinds. Windows only.
#pragma once

// Sets errno from GetLastError() and returns 0, the failure result.
int set_errno_from_last_error();

// Whether the last call failed because nothing stands at its path.
int nothing_there();
