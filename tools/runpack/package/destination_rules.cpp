#include "runpack/package/destination_rules.h"

#include <vector>

#include "extract/destination_rule.h"
#include "runpack/package/visible_text.h"

namespace {

bool fail(std::string* error, const std::string& message) {
    *error = message;
    return false;
}

// A part that the engine reads as a "%VAR%" reference when it starts a destination.
bool isVariableReference(const std::string& part) {
    return part.size() > 2 && part.front() == '%' && part.find('%', 1) != std::string::npos;
}

std::vector<std::string> splitParts(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '\\' || c == '/') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part.push_back(c);
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

bool joinChecked(const std::vector<std::string>& parts, size_t from, std::string* out, std::string* error) {
    for (size_t i = from; i < parts.size(); ++i) {
        if (!checkComponent(parts[i], error)) return false;
        if (!out->empty() && out->back() != '\\') out->push_back('\\');
        *out += parts[i];
    }
    return true;
}

}  // namespace

bool checkComponent(const std::string& component, std::string* error) {
    const std::string quoted = "\"" + component + "\"";
    if (component.empty()) return fail(error, "empty name");
    // In the UTF-8 given here: C0, DEL, C1 and the bidirectional controls.
    std::string control;
    if (findControlCharacter(component, &control)) return fail(error, quoted + " has a control character (" + control + ")");
    // Characters that render as nothing: the name would look like another.
    if (findInvisibleCharacter(component, &control))
        return fail(error, quoted + " has an invisible character (" + control + ")");
    for (char ch : component) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' || c == '*' || c == '/' || c == '\\')
            return fail(error, quoted + " has '" + std::string(1, ch) + "', a character Windows does not allow in names (<>:\"/\\|?*)");
    }
    // What is left for one part (no separator, no colon): "..", device names, a trailing dot
    // or space. The engine's rule decides those.
    const DestinationVerdict verdict = checkDestination(component.data(), static_cast<uint32_t>(component.size()));
    if (verdict != DESTINATION_OK) return fail(error, quoted + " is refused: " + describeDestinationVerdict(verdict));
    return true;
}

bool checkComposedDestination(const std::string& directory, const std::string& name, std::string* error) {
    const std::string composed = directory.empty() ? name : directory + "\\" + name;
    const DestinationVerdict verdict = checkDestination(composed.data(), static_cast<uint32_t>(composed.size()));
    if (verdict != DESTINATION_OK)
        return fail(error, "destination \"" + composed + "\" is refused: " + describeDestinationVerdict(verdict));
    return true;
}

bool isAbsoluteDestination(const std::string& path) {
    return (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') || (path.size() >= 2 && path[1] == ':');
}

bool normalizeDirectory(const std::string& directory, bool allowRooted, std::string* normalized,
                        DestinationKind* kind, std::string* error) {
    normalized->clear();
    *kind = DestinationKind::Relative;
    const std::vector<std::string> parts = splitParts(directory);
    size_t from = 0;
    const bool unc = directory.size() >= 2 && (directory[0] == '\\' || directory[0] == '/') &&
                     (directory[1] == '\\' || directory[1] == '/');
    const bool drive = directory.size() >= 2 && directory[1] == ':';
    if (unc || drive) {
        if (!allowRooted)
            return fail(error, "absolute destination \"" + directory + "\" is allowed only through --to or a manifest");
        *kind = DestinationKind::Absolute;
        if (drive) {
            const char letter = directory[0];
            if (!((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z')) ||
                (directory.size() > 2 && directory[2] != '\\' && directory[2] != '/'))
                return fail(error, "\"" + directory + "\" is not a drive path like C:\\dir");
            *normalized = directory.substr(0, 2) + "\\";
            from = 1;
        } else {
            if (parts.size() < 2)
                return fail(error, "\"" + directory + "\" is not a UNC path like \\\\server\\share");
            if (!checkComponent(parts[0], error) || !checkComponent(parts[1], error)) return false;
            *normalized = "\\\\" + parts[0] + "\\" + parts[1];
            from = 2;
        }
    } else if (!parts.empty() && isVariableReference(parts[0])) {
        if (!allowRooted)
            return fail(error, "destination \"" + directory + "\" with an environment variable is allowed only through --to or a manifest");
        *kind = DestinationKind::Variable;
    }
    if (!joinChecked(parts, from, normalized, error)) return false;
    if (*kind == DestinationKind::Absolute && normalized->back() == '\\' && normalized->size() == 3)
        normalized->pop_back();  // "C:" alone: joined below with "\"
    return true;
}

bool normalizeName(const std::string& name, std::string* normalized, std::string* error) {
    normalized->clear();
    // A drive or UNC root is a path the name cannot be; any other colon ("a:b.txt", which
    // Windows would read as stream "b.txt" of "a") is a character the part cannot hold.
    const bool driveRoot = name.size() >= 2 && name[1] == ':' && (name.size() == 2 || name[2] == '\\' || name[2] == '/');
    const bool uncRoot = name.size() >= 2 && (name[0] == '\\' || name[0] == '/') && (name[1] == '\\' || name[1] == '/');
    if (driveRoot || uncRoot) return fail(error, "file name \"" + name + "\" must be relative");
    const std::vector<std::string> parts = splitParts(name);
    if (parts.empty()) return fail(error, "empty file name");
    return joinChecked(parts, 0, normalized, error);
}

bool normalizeFoundPath(const std::string& relative, std::string* directory, std::string* name, std::string* error) {
    directory->clear();
    name->clear();
    std::string part;
    for (size_t i = 0; i <= relative.size(); ++i) {
        if (i < relative.size() && relative[i] != '/') {
            part.push_back(relative[i]);
            continue;
        }
        if (!checkComponent(part, error)) return false;
        // The engine expands a leading "%VAR%" into whatever the user's machine holds there.
        if (directory->empty() && isVariableReference(part))
            return fail(error, "\"" + part + "\" reads as an environment variable: such a destination is allowed only through --to or a manifest");
        if (i == relative.size()) break;
        if (!directory->empty()) directory->push_back('\\');
        *directory += part;
        part.clear();
    }
    *name = part;
    return true;
}

bool checkDestinationLength(const std::string& directory, const std::string& name, DestinationKind kind,
                            std::string* error) {
    const std::string joined = directory.empty() ? name : directory + "\\" + name;
    // Relative (and not yet expanded) destinations get the working directory in front.
    const uint64_t length = joined.size() + (kind == DestinationKind::Absolute ? 0 : MAX_WORK_DIR_LENGTH + 1);
    if (length > DEST_PATH_SIZE - 1)
        return fail(error, "destination \"" + joined + "\" is too long: " + std::to_string(length) +
                               " characters with the working directory, at most " +
                               std::to_string(DEST_PATH_SIZE - 1));
    return true;
}

uint64_t typicalDestinationLength(const std::string& composed) {
    if (isAbsoluteDestination(composed)) return composed.size();
    if (!composed.empty() && composed[0] == '%') {
        const size_t end = composed.find('%', 1);
        if (end != std::string::npos) return TYPICAL_WORK_DIR_LENGTH + composed.size() - (end + 1);
    }
    return TYPICAL_WORK_DIR_LENGTH + composed.size();
}

std::string longPathWarning(const std::string& composed, const std::string& shown) {
    const uint64_t length = typicalDestinationLength(composed);
    if (length <= LONG_PATH_LIMIT) return "";
    return "\"" + shown + "\" is about " + std::to_string(length) + " characters long on the user's machine" +
           (isAbsoluteDestination(composed) ? "" : " (with a working directory of a usual length)") + ", more than the " +
           std::to_string(LONG_PATH_LIMIT) + " that many Windows programs can open";
}
