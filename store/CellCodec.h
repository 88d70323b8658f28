#pragma once

// The cell codec: how one value of a row is laid out in the row store's memory. A cell is a tag byte
// (TFieldValue::Type), then for an integer its zigzag varint, for a real its 8 bytes as the machine
// holds them, for a text or a BLOB a varint length and the bytes; NULL is the tag alone. A row is its
// cells back to back, so a cell is found by skipping the cells before it.
//
// Costs: writing and reading a cell are a few byte operations and one copy of its bytes; skipping a
// cell reads its length only. Varints take 7 bits a byte, so a small integer or a short text's length
// takes one byte and the widest (2^64 - 1) kMaxVarintBytes. Everything is inline: the hot paths of a
// list open and a count walk run through it for every row.

#include "FieldValue.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

inline constexpr std::size_t kMaxVarintBytes = 10;
inline constexpr unsigned char kVarintMore = 0x80; // set on every byte of a varint but its last
inline constexpr unsigned char kVarintBits = 0x7F;

// Reads a varint at p and moves p past it.
inline std::uint64_t GetVarint(const char*& p) {
    std::uint64_t value = 0;
    int shift = 0;
    for (;;) {
        const auto byte = static_cast<unsigned char>(*p++);
        value |= static_cast<std::uint64_t>(byte & kVarintBits) << shift;
        if (!(byte & kVarintMore))
            return value;
        shift += 7;
    }
}

// Signed integers as unsigned ones with small magnitudes small (0, -1, 1, -2 ... give 0, 1, 2, 3 ...).
inline std::uint64_t ZigZag(std::int64_t v) {
    return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
inline std::int64_t UnZigZag(std::uint64_t v) {
    return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
}

inline std::size_t VarintSize(std::uint64_t value) {
    std::size_t n = 1;
    while (value >= kVarintMore) {
        value >>= 7;
        ++n;
    }
    return n;
}

// Writes the tag and a varint into head; returns the bytes written (at most 1 + kMaxVarintBytes).
inline std::size_t TagAndVarint(char* head, TFieldValue::Type tag, std::uint64_t value) {
    std::size_t n = 0;
    head[n++] = static_cast<char>(tag);
    while (value >= kVarintMore) {
        head[n++] = static_cast<char>((value & kVarintBits) | kVarintMore);
        value >>= 7;
    }
    head[n++] = static_cast<char>(value);
    return n;
}

// One cell to be stored: a value's parts, its bytes not owned.
struct TCellToStore {
    TFieldValue::Type type = TFieldValue::Null;
    std::int64_t integer = 0;
    double real = 0;
    const void* bytes = nullptr;
    std::size_t size = 0;

    static TCellToStore From(const TFieldValue& value) {
        return {value.type, value.integer, value.real, value.text.data(), value.text.size()};
    }

    // Bytes the cell takes.
    std::size_t EncodedSize() const {
        switch (type) {
        case TFieldValue::Null:
            return 1;
        case TFieldValue::Int:
            return 1 + VarintSize(ZigZag(integer));
        case TFieldValue::Real:
            return 1 + sizeof(double);
        case TFieldValue::Text:
        case TFieldValue::Blob:
            break;
        }
        return 1 + VarintSize(size) + size;
    }

    // Writes the cell at out, which has room for EncodedSize() bytes; returns the end.
    char* Write(char* out) const {
        switch (type) {
        case TFieldValue::Null:
            *out = static_cast<char>(TFieldValue::Null);
            return out + 1;
        case TFieldValue::Int:
            return out + TagAndVarint(out, TFieldValue::Int, ZigZag(integer));
        case TFieldValue::Real:
            *out = static_cast<char>(TFieldValue::Real);
            std::memcpy(out + 1, &real, sizeof real);
            return out + 1 + sizeof real;
        case TFieldValue::Text:
        case TFieldValue::Blob:
            break;
        }
        out += TagAndVarint(out, type, size);
        if (size > 0)
            std::memcpy(out, bytes, size);
        return out + size;
    }
};

inline TFieldValue::Type CellType(const char* cell) {
    return static_cast<TFieldValue::Type>(*cell);
}

inline const char* SkipCell(const char* p) {
    switch (static_cast<TFieldValue::Type>(*p++)) {
    case TFieldValue::Null:
        return p;
    case TFieldValue::Int:
        GetVarint(p);
        return p;
    case TFieldValue::Real:
        return p + sizeof(double);
    case TFieldValue::Text:
    case TFieldValue::Blob: {
        const auto size = GetVarint(p);
        return p + size;
    }
    }
    return p;
}

// The cell of field number field in the row that starts at row.
inline const char* CellIn(const char* row, int field) {
    for (int i = 0; i < field; ++i)
        row = SkipCell(row);
    return row;
}

inline TFieldValue ReadCell(const char* p) {
    TFieldValue value;
    value.type = static_cast<TFieldValue::Type>(*p++);
    switch (value.type) {
    case TFieldValue::Null:
        break;
    case TFieldValue::Int:
        value.integer = UnZigZag(GetVarint(p));
        break;
    case TFieldValue::Real:
        std::memcpy(&value.real, p, sizeof(double));
        break;
    case TFieldValue::Text:
    case TFieldValue::Blob: {
        const auto size = GetVarint(p);
        value.text.assign(p, size);
        break;
    }
    }
    return value;
}

// The integer of an integer cell (the caller checked its type).
inline std::int64_t ReadIntegerCell(const char* cell) {
    ++cell;
    return UnZigZag(GetVarint(cell));
}
