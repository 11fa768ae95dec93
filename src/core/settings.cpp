#include "core/settings.h"

#ifndef CALVENTO_VERSION
#define CALVENTO_VERSION "0.0"
#endif

const char* banner_text()
{
    return "Calvento " CALVENTO_VERSION " - sincronizzazione di directory\n";
}
