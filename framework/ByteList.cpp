#include "ByteList.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace fw {

namespace {

bool inside(const QByteArray& buffer, const char* p) {
    return p >= buffer.constData() && p < buffer.constData() + buffer.size();
}

// Room for `extra` more elements, growing geometrically: many single additions must not each
// reallocate.
template <typename Vector>
void grow(Vector& v, size_t extra) {
    if (v.size() + extra > v.capacity()) v.reserve(std::max(v.size() + extra, v.capacity() * 2));
}

}  // namespace

ByteList::ByteList(const std::vector<QByteArray>& items) {
    qsizetype bytes = 0;
    for (const QByteArray& item : items) bytes += item.size();
    reserve(qsizetype(items.size()), bytes);
    for (const QByteArray& item : items) append(item);
}

ByteList::ByteList(std::initializer_list<QByteArrayView> items) {
    qsizetype bytes = 0;
    for (QByteArrayView item : items) bytes += item.size();
    reserve(qsizetype(items.size()), bytes);
    for (QByteArrayView item : items) append(item);
}

ByteList::ByteList(qsizetype count, QByteArrayView item) {
    reserve(count, count * item.size());
    for (qsizetype i = 0; i < count; ++i) append(item);
}

const char* ByteList::adopt(QByteArray storage) {
    clear();
    storage.detach();
    m_bytes = std::move(storage);
    return m_bytes.constData();
}

qsizetype ByteList::lengthOf(qsizetype index) const {
    const std::uint8_t length = m_lengths[size_t(index)];
    if (length != kLong) return length;
    const auto found =
        std::lower_bound(m_long.begin(), m_long.end(), std::pair<qsizetype, qsizetype>(index, 0));
    return found->second;
}

qsizetype ByteList::offsetOf(qsizetype index) const {
    const qsizetype block = index / kBlock;
    qsizetype offset = m_starts[size_t(block)];
    for (qsizetype i = block * kBlock; i < index; ++i) offset += lengthOf(i);
    return offset;
}

QByteArrayView ByteList::view(qsizetype index) const {
    return QByteArrayView(m_bytes.constData() + offsetOf(index), lengthOf(index));
}

void ByteList::growBytes(qsizetype needed) {
    if (m_used + needed <= m_bytes.size()) return;
    m_bytes.resize(std::max(m_used + needed, m_bytes.size() + m_bytes.size() / 2 + 64));
}

void ByteList::reserve(qsizetype items, qsizetype bytes) {
    if (items < 0 || items > kMaxItems - size()) throw std::bad_alloc();
    growBytes(bytes);
    grow(m_lengths, size_t(items));
    const size_t blocks = size_t((size() + items + kBlock - 1) / kBlock);
    grow(m_starts, blocks > m_starts.size() ? blocks - m_starts.size() : 0);
    // Only an item of kLong bytes or more keeps its length aside, so the bytes bound how many
    // of the new items can.
    grow(m_long, size_t(std::min(items, bytes / kLong)));
}

// Room for one more item besides its bytes.
void ByteList::makeRoom(qsizetype items, bool longItem) {
    reserve(items, 0);
    if (longItem) grow(m_long, 1);
}

void ByteList::append(QByteArrayView item) {
    if (size() == kMaxItems) throw std::bad_alloc();
    // An item that lies in the room beyond the items (adopted text) moves down in place; one
    // that is an item itself must be copied before the buffer may move.
    QByteArray copy;
    if (inside(m_bytes, item.data()) && item.data() < m_bytes.constData() + m_used) {
        copy = item.toByteArray();
        item = copy;
    }
    const qsizetype source = inside(m_bytes, item.data()) ? item.data() - m_bytes.constData() : -1;
    growBytes(item.size());  // keeps the bytes: an adopted source stays where it was
    makeRoom(1, item.size() >= kLong);
    // Nothing below allocates.
    const char* from = source >= 0 ? m_bytes.constData() + source : item.data();
    if (item.size() > 0) std::memmove(m_bytes.data() + m_used, from, size_t(item.size()));
    if (size() % kBlock == 0) m_starts.push_back(m_used);
    if (item.size() >= kLong) m_long.emplace_back(size(), item.size());
    m_lengths.push_back(std::uint8_t(std::min<qsizetype>(item.size(), kLong)));
    m_used += item.size();
}

void ByteList::insert(qsizetype index, QByteArrayView item) {
    if (index == size()) return append(item);
    QByteArray copy;  // an item of ours would move under the insertion
    if (inside(m_bytes, item.data())) {
        copy = item.toByteArray();
        item = copy;
    }
    growBytes(item.size());
    makeRoom(1, item.size() >= kLong);
    // Nothing below allocates.
    const qsizetype offset = offsetOf(index);
    char* at = m_bytes.data() + offset;
    std::memmove(at + item.size(), at, size_t(m_used - offset));
    if (item.size() > 0) std::memcpy(at, item.data(), size_t(item.size()));
    m_used += item.size();
    auto later =
        std::lower_bound(m_long.begin(), m_long.end(), std::pair<qsizetype, qsizetype>(index, 0));
    for (auto i = later; i != m_long.end(); ++i) ++i->first;
    if (item.size() >= kLong) m_long.emplace(later, index, item.size());
    m_lengths.insert(m_lengths.begin() + index,
                     std::uint8_t(std::min<qsizetype>(item.size(), kLong)));
    restartBlocksFrom(index);
}

void ByteList::remove(qsizetype index) {
    const qsizetype offset = offsetOf(index);
    const qsizetype length = lengthOf(index);
    char* at = m_bytes.data() + offset;
    std::memmove(at, at + length, size_t(m_used - offset - length));
    m_used -= length;
    auto later =
        std::lower_bound(m_long.begin(), m_long.end(), std::pair<qsizetype, qsizetype>(index, 0));
    if (later != m_long.end() && later->first == index) later = m_long.erase(later);
    for (auto i = later; i != m_long.end(); ++i) --i->first;
    m_lengths.erase(m_lengths.begin() + index);
    restartBlocksFrom(index);
}

// The stored offsets of every block from the one holding `index` on, after the items there
// changed. Never allocates: there is at most one block more than before, and room was made.
void ByteList::restartBlocksFrom(qsizetype index) {
    const qsizetype blocks = (size() + kBlock - 1) / kBlock;
    const qsizetype first = index / kBlock;
    m_starts.resize(size_t(blocks));
    if (first >= blocks) return;
    qsizetype offset = m_starts[size_t(first)];
    for (qsizetype i = first * kBlock; i < size(); ++i) {
        if (i % kBlock == 0) m_starts[size_t(i / kBlock)] = offset;
        offset += lengthOf(i);
    }
}

void ByteList::clear() {
    m_bytes = QByteArray();
    m_used = 0;
    std::vector<std::uint8_t>().swap(m_lengths);
    std::vector<std::pair<qsizetype, qsizetype>>().swap(m_long);
    std::vector<qsizetype>().swap(m_starts);
}

std::vector<QByteArray> ByteList::toVector() const {
    std::vector<QByteArray> items;
    items.reserve(size_t(size()));
    for (qsizetype i = 0; i < size(); ++i) items.push_back(at(i));
    return items;
}

bool operator==(const ByteList& a, const ByteList& b) {
    if (a.size() != b.size()) return false;
    for (qsizetype i = 0; i < a.size(); ++i)
        if (a.view(i) != b.view(i)) return false;
    return true;
}

}  // namespace fw
