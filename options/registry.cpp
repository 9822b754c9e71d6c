// Registry presets. Not read yet: the read always reports that nothing was found.
#include "options/options.h"

int ReadRegistrySettings()
{
    return 0;
}

void MergeRegistrySettings()
{
}
