// Stand-in: only the global names CoreServices brings to the files that import
// AppKit or the audio frameworks: the classic Mac types and the unprefixed
// assertion macros.
#pragma once

#include <AssertMacros.h>
#include <MacTypes.h>
