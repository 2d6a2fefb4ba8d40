#include "extract/stream_prefetch.h"

#include <stdlib.h>
#include <string.h>

#include "extract/storage_methods.h"
#include "extract/unpack_operations.h"

void prefetchBegin(StreamPrefetch* prefetch, const uint8_t* package, uint32_t size, uint32_t processors,
                   uint32_t memoryCap) {
    memset(prefetch, 0, sizeof(*prefetch));
    prefetch->package = package;
    prefetch->size = size;
    prefetch->helpers = processors > 1 ? processors : 0;
    uint32_t half = freeAddressSpace() / 2;
    prefetch->memoryCap = memoryCap < half ? memoryCap : half;
    // Nothing is looked at until the first stream is reached.
    prefetch->stopped = true;
}

// The helper: the whole stream through its reader into `output`, each stretch published as
// soon as it is final; then the reader and its dictionary go back.
static unsigned long THREAD_CALL decodeAhead(void* parameter) {
    PrefetchSlot* slot = static_cast<PrefetchSlot*>(parameter);
    uint32_t done = 0;
    int32_t count;
    const uint8_t* bytes = NULL;
    while (!loadAcquire(&slot->cancel) && (count = solidStreamNext(slot->reader, &bytes, slot->unpackedSize - done)) > 0) {
        memcpy(slot->output + done, bytes, static_cast<uint32_t>(count));
        done += static_cast<uint32_t>(count);
        storeRelease(&slot->ready, done);
    }
    bool ended = done == slot->unpackedSize && solidStreamFinished(slot->reader);
    solidStreamClose(slot->reader);
    free(slot->reader);
    storeRelease(&slot->state, ended ? PREFETCH_ENDED : PREFETCH_FAILED);
    return 0;
}

static uint32_t loadLittleEndian32(const uint8_t* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

// Helpers still decoding, and the memory the slots hold.
static uint32_t helpersAtWork(const StreamPrefetch* prefetch, uint64_t* held) {
    uint32_t working = 0;
    *held = 0;
    for (uint32_t i = 0; i < PREFETCH_SLOTS; ++i) {
        const PrefetchSlot* slot = &prefetch->slots[i];
        if (slot->thread == NULL) continue;
        *held += slot->unpackedSize;
        if (loadAcquire(&slot->state) == PREFETCH_DECODING) {
            ++working;
            *held += slot->decoderMemory;
        }
    }
    return working;
}

// The slot of the stream whose data begins at `stream`; with null, a free slot.
static PrefetchSlot* slotOf(StreamPrefetch* prefetch, const uint8_t* stream) {
    for (uint32_t i = 0; i < PREFETCH_SLOTS; ++i) {
        if (prefetch->slots[i].stream == stream) return &prefetch->slots[i];
    }
    return NULL;
}

// Sets a helper on the stream whose first member is `head`; null when no helper may start
// now or the stream cannot be had ahead: too large for what the cap leaves, refused by the
// decoder, or memory or a thread not to be had.
static PrefetchSlot* startHelper(StreamPrefetch* prefetch, const FileEntry* head) {
    uint64_t held;
    PrefetchSlot* slot = slotOf(prefetch, NULL);
    if (slot == NULL || helpersAtWork(prefetch, &held) >= prefetch->helpers || head->packedSize < SOLID_HEADER_SIZE) {
        return NULL;
    }
    // What the reader will take: the dictionary the header declares, never more than the
    // stream holds (as solidStreamOpen takes it), and the reader itself.
    uint32_t unpacked = loadLittleEndian32(head->data + 4);
    uint64_t dictionary = loadLittleEndian32(head->data + 8);
    uint64_t rounded = (static_cast<uint64_t>(unpacked) + SOLID_DICTIONARY_GRAIN - 1) & ~uint64_t(SOLID_DICTIONARY_GRAIN - 1);
    if (rounded < dictionary) dictionary = rounded < SOLID_DICTIONARY_MIN ? SOLID_DICTIONARY_MIN : rounded;
    uint64_t decoderMemory = dictionary + sizeof(SolidStreamReader);
    if (held + unpacked + decoderMemory > prefetch->memoryCap) return NULL;

    SolidStreamReader* reader = static_cast<SolidStreamReader*>(malloc(sizeof(SolidStreamReader)));
    uint8_t* output = static_cast<uint8_t*>(malloc(unpacked != 0 ? unpacked : 1));
    if (reader != NULL && output != NULL && solidStreamOpen(reader, head->data, head->packedSize)) {
        slot->owner = prefetch;
        slot->stream = head->data;
        slot->reader = reader;
        slot->output = output;
        slot->unpackedSize = unpacked;
        slot->decoderMemory = static_cast<uint32_t>(decoderMemory);
        slot->thread = threadStart(decodeAhead, slot);
        if (slot->thread != NULL) return slot;
        solidStreamClose(reader);
        memset(slot, 0, sizeof(*slot));
    }
    free(reader);
    free(output);
    return NULL;
}

// Starts helpers on the streams after the last one started, in package order, as long as
// helpers and memory allow; a stream that cannot be started now is tried again later.
static void lookAhead(StreamPrefetch* prefetch) {
    if (prefetch->stopped) return;
    FileEntry entry;
    memset(&entry, 0, sizeof(entry));
    entry.recordSize = FILE_ENTRY_RECORD_SIZE;
    uint32_t next = prefetch->lookAhead;
    while (next < prefetch->size && readEntry(prefetch->package, prefetch->size, prefetch->lookAhead, &next, &entry)) {
        if (entry.method == METHOD_LZMA2 && entry.packedSize != 0 && slotOf(prefetch, entry.data) == NULL &&
            startHelper(prefetch, &entry) == NULL) {
            return;
        }
        prefetch->lookAhead = next;
    }
}

// The unpack operation's wait (DecodedWaitFn) on a slot's helper. While the extraction waits,
// helpers that have ended make room for the next streams.
static uint32_t waitForHelper(void* state, uint32_t wanted) {
    PrefetchSlot* slot = static_cast<PrefetchSlot*>(state);
    for (;;) {
        lookAhead(slot->owner);
        uint32_t ready = loadAcquire(&slot->ready);
        if (wanted <= slot->unpackedSize && ready >= wanted) return ready;
        uint32_t end = loadAcquire(&slot->state);
        if (end != PREFETCH_DECODING) {
            // What the helper made is all there will be.
            ready = loadAcquire(&slot->ready);
            if (wanted > slot->unpackedSize) return end == PREFETCH_ENDED ? slot->unpackedSize : 0;
            return ready >= wanted ? ready : 0;
        }
        threadPause();
    }
}

// Stops the slot's helper, waits for it and frees the slot.
static void releaseSlot(PrefetchSlot* slot) {
    if (slot->thread == NULL) return;
    storeRelease(&slot->cancel, 1);
    threadJoin(slot->thread);
    free(slot->output);
    memset(slot, 0, sizeof(*slot));
}

void prefetchAtStream(StreamPrefetch* prefetch, const FileEntry* head, uint32_t next) {
    if (prefetch->helpers == 0) return;
    // Streams come in package order: any earlier stream a helper had is written by now.
    for (uint32_t i = 0; i < PREFETCH_SLOTS; ++i) {
        PrefetchSlot* slot = &prefetch->slots[i];
        if (slot->thread != NULL && slot->stream < head->data) releaseSlot(slot);
    }
    PrefetchSlot* slot = slotOf(prefetch, head->data);
    if (slot == NULL) {
        // The look-ahead stopped here, or has not come this far: the streams behind this
        // one are not started either. A helper takes this one if it can; if not, the
        // extraction decodes it alone, and nothing further starts until it is done.
        prefetch->lookAhead = next;
        slot = startHelper(prefetch, head);
        prefetch->stopped = slot == NULL;
    }
    if (slot != NULL) {
        lzma2AdoptDecoded(slot->stream, slot->output, slot->unpackedSize, waitForHelper, slot);
    }
    lookAhead(prefetch);
}

void prefetchEnd(StreamPrefetch* prefetch) {
    // The unpack operation may still point into a slot's bytes: it lets go of them first.
    lzma2AdoptDecoded(NULL, NULL, 0, NULL, NULL);
    for (uint32_t i = 0; i < PREFETCH_SLOTS; ++i) storeRelease(&prefetch->slots[i].cancel, 1);
    for (uint32_t i = 0; i < PREFETCH_SLOTS; ++i) releaseSlot(&prefetch->slots[i]);
}
