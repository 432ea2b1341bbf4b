// Stand-in: only what every Foundation import brings along through
// CoreFoundation's base header, the classic Mac types.
#pragma once

#include <MacTypes.h>
