// The execution level an application manifest requests (the level attribute of its
// requestedExecutionLevel element): what Windows asks of the user before it starts the
// executable. Found and replaced in place, every other byte of the manifest kept.
#pragma once

#include <stdint.h>

#include <string>

const uint16_t RT_MANIFEST_TYPE = 24;
const uint16_t APPLICATION_MANIFEST_ID = 1;  // CREATEPROCESS_MANIFEST_RESOURCE_ID

// The three levels Windows knows, as the manifest spells them.
extern const char* const EXECUTION_LEVELS[3];  // asInvoker, highestAvailable, requireAdministrator
bool isExecutionLevel(const std::string& level);

// Finds the value of the level attribute of the one requestedExecutionLevel element (with or
// without a namespace prefix), outside comments and CDATA. `found` is false when there is no
// such element. False with a message when the text is not well-formed enough to tell (a tag,
// comment or quoted value without its end), when there are two such elements, or when the
// element has no level.
bool findExecutionLevel(const std::string& manifest, bool* found, size_t* valueStart, size_t* valueLength,
                        std::string* error);

// `manifest` with the level replaced by `level`. False with a message when the manifest has
// no requestedExecutionLevel element or findExecutionLevel fails.
bool setExecutionLevel(const std::string& manifest, const std::string& level, std::string* result, std::string* error);
