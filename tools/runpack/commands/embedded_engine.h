// The engine this tool was built with, carried inside the tool: `runpack build` copies it
// when no --engine is given.
#pragma once

#include <stddef.h>

extern const unsigned char EMBEDDED_ENGINE[];
extern const size_t EMBEDDED_ENGINE_SIZE;
