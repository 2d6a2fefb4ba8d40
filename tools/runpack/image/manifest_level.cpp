// A manifest is XML. Only the markup that can hide or delimit an element matters here:
// comments (<!-- -->), CDATA sections (<![CDATA[ ]]>), processing instructions (<? ?>),
// declarations (<!DOCTYPE ...>), end tags, and start tags with their attributes, whose
// values may hold '>' inside quotes.
#include "runpack/image/manifest_level.h"

const char* const EXECUTION_LEVELS[3] = {"asInvoker", "highestAvailable", "requireAdministrator"};

namespace {

const char ELEMENT_NAME[] = "requestedExecutionLevel";
const char LEVEL_ATTRIBUTE[] = "level";

bool fail(std::string* error, const std::string& message) {
    *error = message;
    return false;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool startsWith(const std::string& text, size_t at, const char* prefix) {
    return text.compare(at, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

bool isExecutionLevel(const std::string& level) {
    for (const char* known : EXECUTION_LEVELS)
        if (level == known) return true;
    return false;
}

bool findExecutionLevel(const std::string& m, bool* found, size_t* valueStart, size_t* valueLength,
                        std::string* error) {
    *found = false;
    bool elementSeen = false;
    for (size_t i = m.find('<'); i != std::string::npos; i = m.find('<', i)) {
        // Markup that holds no element: skip to its end.
        const char* close = nullptr;
        if (startsWith(m, i, "<!--")) close = "-->";
        else if (startsWith(m, i, "<![CDATA[")) close = "]]>";
        else if (startsWith(m, i, "<?")) close = "?>";
        else if (startsWith(m, i, "<!") || startsWith(m, i, "</")) close = ">";
        if (close) {
            const size_t end = m.find(close, i + 2);
            if (end == std::string::npos) return fail(error, "malformed manifest: markup without its end");
            i = end + std::char_traits<char>::length(close);
            continue;
        }
        // A start tag: its name, then attributes up to '>' or "/>".
        size_t at = i + 1;
        while (at < m.size() && !isSpace(m[at]) && m[at] != '>' && m[at] != '/') ++at;
        std::string name = m.substr(i + 1, at - i - 1);
        const size_t colon = name.rfind(':');
        if (colon != std::string::npos) name = name.substr(colon + 1);
        const bool wanted = name == ELEMENT_NAME;
        if (wanted && elementSeen) return fail(error, "the manifest has two requestedExecutionLevel elements");
        elementSeen = elementSeen || wanted;
        bool levelSeen = false;
        for (;;) {
            while (at < m.size() && isSpace(m[at])) ++at;
            if (at >= m.size()) return fail(error, "malformed manifest: a tag without its end");
            if (m[at] == '>' || startsWith(m, at, "/>")) break;
            const size_t nameStart = at;
            while (at < m.size() && !isSpace(m[at]) && m[at] != '=' && m[at] != '>' && m[at] != '/') ++at;
            const std::string attribute = m.substr(nameStart, at - nameStart);
            while (at < m.size() && isSpace(m[at])) ++at;
            if (attribute.empty() || at >= m.size() || m[at] != '=')
                return fail(error, "malformed manifest: an attribute without a value");
            ++at;
            while (at < m.size() && isSpace(m[at])) ++at;
            if (at >= m.size() || (m[at] != '"' && m[at] != '\'')) return fail(error, "malformed manifest: an unquoted value");
            const size_t end = m.find(m[at], at + 1);
            if (end == std::string::npos) return fail(error, "malformed manifest: a value without its closing quote");
            if (wanted && attribute == LEVEL_ATTRIBUTE) {
                levelSeen = true;
                *valueStart = at + 1;
                *valueLength = end - at - 1;
            }
            at = end + 1;
        }
        if (wanted && !levelSeen) return fail(error, "the manifest's requestedExecutionLevel has no level");
        *found = *found || wanted;
        i = at;
    }
    return true;
}

bool setExecutionLevel(const std::string& manifest, const std::string& level, std::string* result, std::string* error) {
    bool found = false;
    size_t start = 0, length = 0;
    if (!findExecutionLevel(manifest, &found, &start, &length, error)) return false;
    if (!found) return fail(error, "the manifest has no requestedExecutionLevel element to change");
    *result = manifest;
    result->replace(start, length, level);
    return true;
}
