#include "support/lzhuf_streams.h"

#include <stdlib.h>

#include <algorithm>

#include "codec/lzhuf_decoder.h"
#include "codec/lzhuf_encoder.h"

int32_t vectorSourceRead(uint8_t* destination, int32_t capacity, void* state) {
    VectorSource* source = static_cast<VectorSource*>(state);
    ++source->calls;
    if (capacity != 1) {
        return STREAM_ERR_STATE;
    }
    if (source->failAfter >= 0 && source->position >= static_cast<size_t>(source->failAfter)) {
        return source->failWith;
    }
    if (source->position >= source->data.size()) {
        return 0;
    }
    *destination = source->data[source->position++];
    return 1;
}

int32_t vectorSinkWrite(const uint8_t* source, int32_t count, void* state) {
    VectorSink* sink = static_cast<VectorSink*>(state);
    if (source == nullptr) {
        ++sink->flushes;
        return 0;
    }
    if (count != 1 && !(sink->anyCount && count > 1)) {
        return STREAM_ERR_STATE;
    }
    if (sink->flushes != 0) {
        sink->wroteAfterFlush = true;
    }
    ++sink->writes;
    size_t fits = static_cast<size_t>(count);
    if (sink->failAfter >= 0) {
        size_t limit = static_cast<size_t>(sink->failAfter);
        size_t room = sink->data.size() < limit ? limit - sink->data.size() : 0;
        fits = std::min(fits, room);
    }
    sink->data.insert(sink->data.end(), source, source + fits);
    return fits == static_cast<size_t>(count) ? count : sink->failWith;
}

EncodeResult lzhufEncodeBytes(const Bytes& input, LzhufContext* context) {
    VectorSource source;
    source.data = input;
    VectorSink sink;
    int result = lzhufEncode(context, vectorSourceRead, &source, vectorSinkWrite, &sink);
    return {result, sink.data, sink.flushes};
}

DecodeResult lzhufDecodeBytes(const Bytes& packed, int count, LzhufContext* context) {
    VectorSource source;
    source.data = packed;
    VectorSink sink;
    int result = lzhufDecode(context, count, vectorSourceRead, &source, vectorSinkWrite, &sink);
    return {result, sink.data, sink.flushes, source.position};
}

std::string lzhufModelFault(const LzhufContext& c) {
    if (c.nodeWeight[NODE_COUNT] != 0xFFFF) {
        return "sentinel weight changed";
    }
    if (c.nodeParent[ROOT_NODE] != 0) {
        return "root has a parent";
    }
    for (int n = 0; n + 1 < NODE_COUNT; ++n) {
        if (c.nodeWeight[n] > c.nodeWeight[n + 1]) {
            return "weight of node " + std::to_string(n) + " above its successor's";
        }
    }
    int leaves = 0;
    for (int n = 0; n < NODE_COUNT; ++n) {
        int child = c.nodeChild[n];
        if (child >= NODE_COUNT) {
            ++leaves;
            if (child >= NODE_COUNT + SYMBOL_COUNT || c.nodeParent[child] != n) {
                return "leaf " + std::to_string(n) + " badly linked";
            }
            if (c.nodeWeight[n] == 0) {
                return "leaf " + std::to_string(n) + " has weight 0";
            }
            continue;
        }
        if (child % 2 != 0 || child >= n) {
            return "node " + std::to_string(n) + " has children at " + std::to_string(child);
        }
        if (c.nodeParent[child] != n || c.nodeParent[child + 1] != n) {
            return "children of node " + std::to_string(n) + " point elsewhere";
        }
        if (c.nodeWeight[n] != c.nodeWeight[child] + c.nodeWeight[child + 1]) {
            return "weight of node " + std::to_string(n) + " is not its children's sum";
        }
    }
    if (leaves != SYMBOL_COUNT) {
        return "tree holds " + std::to_string(leaves) + " leaves";
    }
    return "";
}

std::string lzhufSymbolCode(const LzhufContext& c, int symbol) {
    std::string code;
    int n = c.nodeParent[NODE_COUNT + symbol];
    while (n != ROOT_NODE) {
        code.insert(code.begin(), static_cast<char>('0' + (n & 1)));
        n = c.nodeParent[n];
    }
    return code;
}

std::vector<LzhufItem> lzhufItems(const Bytes& packed, int count) {
    static LzhufContext context;
    clearContext(&context);
    startModel(&context);
    VectorSource source;
    source.data = packed;
    std::vector<LzhufItem> items;
    int produced = 0;
    while (produced < count) {
        int symbol = decodeSymbol(&context, vectorSourceRead, &source);
        if (symbol < 0) {
            break;
        }
        LzhufItem item = {symbol, -1};
        if (symbol >= 256) {
            item.offset = decodeOffset(&context, vectorSourceRead, &source);
            if (item.offset < 0) {
                break;
            }
        }
        items.push_back(item);
        produced += item.length();
    }
    return items;
}

void lzhufCountFibonacci(LzhufContext* context, const int* symbols, int n) {
    // below[k]: weight of the subtree the k-th chain symbol joins; target[k]: its weight.
    std::vector<uint32_t> below(n + 1);
    std::vector<uint32_t> target(n);
    uint32_t group = SYMBOL_COUNT - n;
    below[0] = group;
    for (int k = 0; k < n; ++k) {
        target[k] = k < 2 ? group + 1 + k : below[k - 1] + 1;
        below[k + 1] = below[k] + target[k];
    }
    for (int k = 0; k < n; ++k) {
        while (context->nodeWeight[context->nodeParent[NODE_COUNT + symbols[k]]] < target[k]) {
            updateModel(context, symbols[k]);
        }
    }
}

Bytes hexBytes(const char* text) {
    Bytes bytes;
    const char* p = text;
    while (*p != '\0') {
        char* end;
        unsigned long value = strtoul(p, &end, 16);
        if (end == p) {
            break;
        }
        bytes.push_back(static_cast<uint8_t>(value));
        p = end;
    }
    return bytes;
}
