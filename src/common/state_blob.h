// The 16-byte little-endian header that opens every state blob, and the one
// rule by which a core accepts it. Plain C++: cores include it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "blobs are little-endian");

struct qv_blob_header {
    uint32_t magic;     // four ASCII letters naming the type
    uint16_t version;   // layout version of the type
    uint8_t format;     // always 1
    uint8_t reserved0;  // written 0, ignored on input
    uint32_t size;      // total blob length, header included
    uint32_t reserved1; // written 0, ignored on input
};
static_assert(sizeof(qv_blob_header) == 16);
static_assert(offsetof(qv_blob_header, version) == 4);
static_assert(offsetof(qv_blob_header, format) == 6);
static_assert(offsetof(qv_blob_header, size) == 8);
static_assert(offsetof(qv_blob_header, reserved1) == 12);

namespace qv {

struct BlobKind {
    uint32_t magic;
    uint16_t version;
    uint32_t size;
};

constexpr uint32_t fourcc(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 |
           uint32_t(uint8_t(s[2])) << 16 | uint32_t(uint8_t(s[3])) << 24;
}

inline void write_blob_header(void *blob, const BlobKind &kind) {
    const qv_blob_header h{kind.magic, kind.version, 1, 0, kind.size, 0};
    std::memcpy(blob, &h, sizeof h);
}

// The total length a blob's header states.
inline uint32_t blob_stated_size(const void *blob) {
    qv_blob_header h;
    std::memcpy(&h, blob, sizeof h);
    return h.size;
}

// magic, version, format and size must match; the reserved fields are not read.
inline bool blob_header_ok(const void *blob, const BlobKind &kind) {
    qv_blob_header h;
    std::memcpy(&h, blob, sizeof h);
    return h.magic == kind.magic && h.version == kind.version && h.format == 1 &&
           h.size == kind.size;
}

}  // namespace qv
