#include "runpack/output/extract_placement.h"

#include <stdint.h>

#include "extract/destination_rule.h"

const char ABSOLUTE_FOLDER[] = "_absolute";

namespace {

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// The parts between separators from `from` on; doubled separators give no empty part.
void splitParts(const std::string& path, size_t from, std::vector<std::string>* parts) {
    std::string part;
    for (size_t i = from; i < path.size(); ++i) {
        if (isSeparator(path[i])) {
            if (!part.empty()) parts->push_back(part);
            part.clear();
        } else {
            part.push_back(path[i]);
        }
    }
    if (!part.empty()) parts->push_back(part);
}

}  // namespace

bool isPlainPart(const std::string& part) {
    if (part.empty() || part == "." || part == "..") return false;
    for (char c : part) {
        if (c == '/' || c == '\\' || c == '\0') return false;
    }
    return true;
}

bool placeDestination(const std::string& destination, Placement* placement, std::string* error) {
    *placement = Placement();
    const DestinationVerdict verdict = checkDestination(destination.data(), static_cast<uint32_t>(destination.size()));
    if (verdict != DESTINATION_OK) {
        *error = "destination \"" + destination + "\" is refused: " + describeDestinationVerdict(verdict);
        return false;
    }
    std::vector<std::string>& parts = placement->parts;
    size_t prefix = 0;  // parts that name the root, not the destination's own levels
    if (destination.size() >= 2 && destination[1] == ':') {
        // The rule admits a colon in second place only after a letter and before a separator.
        char letter = destination[0];
        if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
        placement->kind = PlacementKind::Drive;
        parts = {ABSOLUTE_FOLDER, std::string(1, letter)};
        prefix = 2;
        splitParts(destination, 2, &parts);
    } else if (destination.size() >= 2 && destination[0] == '\\' && destination[1] == '\\') {
        placement->kind = PlacementKind::Share;
        parts = {ABSOLUTE_FOLDER, "UNC"};
        prefix = 2;
        splitParts(destination, 2, &parts);
    } else if (destination.find('%') != std::string::npos) {
        // Expanded on the user's machine to a place this tool cannot know.
        placement->kind = PlacementKind::Variable;
        parts = {ABSOLUTE_FOLDER};
        prefix = 1;
        splitParts(destination, 0, &parts);
    } else {
        splitParts(destination, 0, &parts);
    }
    if (parts.size() <= prefix) {
        *error = "destination \"" + destination + "\" names no file";
        return false;
    }
    placement->directoryOnly = isSeparator(destination.back());
    for (const std::string& part : parts) {
        // The rule refuses "..", "." (a trailing dot) and colons, and the split leaves no
        // separator: this holds for every destination the rule lets through.
        if (!isPlainPart(part)) {
            *error = "destination \"" + destination + "\" has a part that is not a plain name";
            return false;
        }
    }
    return true;
}
