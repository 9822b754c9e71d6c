// Command-line options. Not read yet: every request is the default one.
#include "options/options.h"

SHUTDOWN_REQUEST ShutdownRequest;

void ParseCommandLine(const char *)
{
}
