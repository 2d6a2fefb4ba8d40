#include "extract/stream_prefetch.h"

#include <stdlib.h>
#include <string.h>

#include "codec/solid_stream.h"
#include "extract/storage_methods.h"
#include "extract/unpack_operations.h"

void prefetchBegin(StreamPrefetch* prefetch) {
    memset(prefetch, 0, sizeof(*prefetch));
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    prefetch->enabled = system.dwNumberOfProcessors > 1;
}

// The helper: the whole stream through its own reader into `output`, each stretch published
// as soon as it is final.
static DWORD WINAPI decodeAhead(void* parameter) {
    PrefetchSlot* slot = static_cast<PrefetchSlot*>(parameter);
    SolidStreamReader* reader = static_cast<SolidStreamReader*>(malloc(sizeof(SolidStreamReader)));
    if (reader == NULL) return 0;
    if (solidStreamOpen(reader, slot->stream, slot->packedSize)) {
        uint32_t done = 0;
        int32_t count;
        const uint8_t* bytes = NULL;
        while ((count = solidStreamNext(reader, &bytes, slot->unpackedSize - done)) > 0) {
            memcpy(slot->output + done, bytes, static_cast<uint32_t>(count));
            done += static_cast<uint32_t>(count);
            InterlockedExchange(&slot->ready, static_cast<LONG>(done));
        }
        bool ended = count == 0 && done == slot->unpackedSize && solidStreamFinished(reader);
        InterlockedExchange(&slot->decoded, ended ? 1 : 0);
        solidStreamClose(reader);
    }
    free(reader);
    return 0;
}

// The unpack operation's wait (DecodedWaitFn) on a slot's helper.
static uint32_t waitForHelper(void* state, uint32_t wanted) {
    PrefetchSlot* slot = static_cast<PrefetchSlot*>(state);
    for (;;) {
        uint32_t ready = static_cast<uint32_t>(InterlockedCompareExchange(&slot->ready, 0, 0));
        if (wanted <= slot->unpackedSize && ready >= wanted) return ready;
        if (WaitForSingleObject(slot->thread, PREFETCH_POLL_MS) == WAIT_OBJECT_0) {
            // The helper's end: what it made is all there will be.
            ready = static_cast<uint32_t>(slot->ready);
            if (wanted > slot->unpackedSize) return slot->decoded ? slot->unpackedSize : 0;
            return ready >= wanted ? ready : 0;
        }
    }
}

// Waits for the slot's helper and frees the slot.
static void releaseSlot(PrefetchSlot* slot) {
    if (slot->thread == NULL) return;
    WaitForSingleObject(slot->thread, INFINITE);
    CloseHandle(slot->thread);
    free(slot->output);
    memset(slot, 0, sizeof(*slot));
}

// Sets a free slot's helper on the stream whose first member is `head`; false when the stream
// is too large, or memory or a thread cannot be had.
static bool startHelper(StreamPrefetch* prefetch, const FileEntry* head) {
    PrefetchSlot* slot = NULL;
    for (uint32_t i = 0; i < PREFETCH_HELPERS && slot == NULL; ++i) {
        if (prefetch->slots[i].thread == NULL) slot = &prefetch->slots[i];
    }
    SolidStreamHeader header;
    if (slot == NULL || !readSolidStreamHeader(head->data, head->packedSize, &header) ||
        header.unpackedSize == 0 || header.unpackedSize > PREFETCH_MAX_UNPACKED) {
        return false;
    }
    slot->output = static_cast<uint8_t*>(malloc(header.unpackedSize));
    if (slot->output == NULL) return false;
    slot->stream = head->data;
    slot->packedSize = head->packedSize;
    slot->unpackedSize = header.unpackedSize;
    slot->ready = 0;
    slot->decoded = 0;
    slot->thread = CreateThread(NULL, 0, decodeAhead, slot, 0, NULL);
    if (slot->thread != NULL) return true;
    free(slot->output);
    memset(slot, 0, sizeof(*slot));
    return false;
}

static PrefetchSlot* slotOf(StreamPrefetch* prefetch, const uint8_t* stream) {
    for (uint32_t i = 0; i < PREFETCH_HELPERS; ++i) {
        if (prefetch->slots[i].thread != NULL && prefetch->slots[i].stream == stream) return &prefetch->slots[i];
    }
    return NULL;
}

void prefetchAtStream(StreamPrefetch* prefetch, const uint8_t* package, uint32_t size, uint32_t next,
                      const FileEntry* head) {
    if (!prefetch->enabled) return;
    // Streams come in package order: any earlier stream a helper had is written by now.
    for (uint32_t i = 0; i < PREFETCH_HELPERS; ++i) {
        PrefetchSlot* slot = &prefetch->slots[i];
        if (slot->thread != NULL && slot->stream < head->data) releaseSlot(slot);
    }
    PrefetchSlot* slot = slotOf(prefetch, head->data);
    if (slot != NULL) {
        lzma2AdoptDecoded(slot->stream, slot->output, slot->unpackedSize, waitForHelper, slot);
    }
    // The helper's next stream: the one after this, which this thread would otherwise decode
    // after writing this one's files. When a helper has this one, this thread is free for the
    // next, and the helper takes the one after it (or the next, when it is the last).
    FileEntry streams[2];
    uint32_t found = 0;
    for (uint32_t wanted = slot != NULL ? 2 : 1; found < wanted;) {
        FileEntry* entry = &streams[found];
        memset(entry, 0, sizeof(*entry));
        entry->recordSize = FILE_ENTRY_RECORD_SIZE;
        bool more = false;
        while (next < size && readEntry(package, size, next, &next, entry)) {
            more = entry->method == METHOD_LZMA2 && entry->packedSize != 0;
            if (more) break;
        }
        if (!more) break;
        ++found;
    }
    if (found == 0) return;
    const FileEntry* chosen = &streams[found - 1];
    if (slotOf(prefetch, chosen->data) == NULL) startHelper(prefetch, chosen);
}

void prefetchEnd(StreamPrefetch* prefetch) {
    // The unpack operation may still point into a slot's bytes: it lets go of them first.
    lzma2AdoptDecoded(NULL, NULL, 0, NULL, NULL);
    for (uint32_t i = 0; i < PREFETCH_HELPERS; ++i) releaseSlot(&prefetch->slots[i]);
}
