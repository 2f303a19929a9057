// A list of byte strings kept compactly: one buffer holds every item's bytes one after another,
// and each item costs one more byte for its length (items of 255 bytes or more keep their
// length in a short side table) plus an offset for every 32 items. A million short index
// entries take a few megabytes, not the hundred bytes each that separately allocated strings
// would cost.
//
// - Reading an item walks at most 31 lengths from the nearest stored offset.
// - Appending is amortised constant; inserting or removing in the middle moves the bytes after
//   the item (fine for one user action at a time).
// - insert, append and the constructors either succeed or throw std::bad_alloc and leave the
//   list as it was; so does anything that would take the list past kMaxItems items.
// Not thread-safe; plain value type.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace fw {

class ByteList {
public:
    static constexpr qsizetype kMaxItems = 0x7fffffff;

    ByteList() = default;
    ByteList(std::initializer_list<QByteArrayView> items);
    ByteList(qsizetype count, QByteArrayView item);
    ByteList(const std::vector<QByteArray>& items);  // NOLINT: a list of strings is one

    // Makes an empty list that reuses the memory of `storage`, whose bytes it keeps for the
    // moment. Appending views into those bytes, each starting at or after the end of the items
    // appended so far, moves them down in place: a text cut into lines becomes the list without
    // a second copy. Returns the kept bytes (the view's source).
    const char* adopt(QByteArray storage);

    qsizetype size() const { return qsizetype(m_lengths.size()); }
    bool isEmpty() const { return m_lengths.empty(); }
    QByteArray at(qsizetype index) const { return view(index).toByteArray(); }
    QByteArrayView view(qsizetype index) const;
    // The sum of the items' lengths.
    qsizetype totalBytes() const { return m_used; }

    void append(QByteArrayView item);
    void insert(qsizetype index, QByteArrayView item);
    void remove(qsizetype index);
    void clear();
    // Room for `items` more items of `bytes` bytes together, so that adding them (when none
    // of them is an item of this list) allocates nothing more.
    void reserve(qsizetype items, qsizetype bytes);

    std::vector<QByteArray> toVector() const;

    friend bool operator==(const ByteList& a, const ByteList& b);

private:
    static constexpr std::uint8_t kLong = 255;  // the length is in m_long
    static constexpr qsizetype kBlock = 32;     // items per stored offset

    qsizetype lengthOf(qsizetype index) const;
    qsizetype offsetOf(qsizetype index) const;
    void growBytes(qsizetype needed);
    void makeRoom(qsizetype items, bool longItem);
    void restartBlocksFrom(qsizetype index);

    QByteArray m_bytes;  // m_bytes.size() is the room; the first m_used bytes are the items
    qsizetype m_used = 0;
    std::vector<std::uint8_t> m_lengths;
    std::vector<std::pair<qsizetype, qsizetype>> m_long;  // (index, length), by index
    std::vector<qsizetype> m_starts;                      // offset of item k * kBlock
};

}  // namespace fw
