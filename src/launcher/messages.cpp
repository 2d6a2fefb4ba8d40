#include "launcher/messages.h"

#include "resources/resource_ids.h"

static char textBuffers[2][TEXT_BUFFER_SIZE];
static int lastTextBuffer = 0;

const char* loadText(HINSTANCE instance, UINT id) {
    lastTextBuffer ^= 1;
    char* text = textBuffers[lastTextBuffer];
    text[0] = '\0';
    LoadStringA(instance, id, text, TEXT_BUFFER_SIZE);
    return text;
}

uint32_t reportError(UINT id) {
    uint32_t code = GetLastError();
    if (code == 0) code = CODE_NTE_FAIL;

    // The format and the caption are the last two texts loaded, so both stay valid.
    char message[TEXT_BUFFER_SIZE];
    wsprintfA(message, loadText(NULL, id), code);
    const char* caption = loadText(NULL, IDS_CAPTION);
    MessageBoxA(NULL, message, caption, MB_ICONWARNING);
    return code;
}
