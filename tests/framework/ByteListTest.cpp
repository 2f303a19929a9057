// The compact list against a plain vector of strings: the same operations must leave the same
// items, across block boundaries, long items (whose length lives aside) and empty ones.
#include "ByteList.h"

#include <gtest/gtest.h>
#include <random>

using fw::ByteList;

TEST(ByteList, KeepsTheSameItemsAsAVectorUnderRandomEdits) {
    std::mt19937 random(7);
    const auto someItem = [&] {
        static const int lengths[] = {0, 1, 3, 254, 255, 300, 7000};
        const int length = lengths[random() % 7];
        return QByteArray(length, char('a' + random() % 26));
    };
    ByteList list;
    std::vector<QByteArray> expected;
    for (int step = 0; step < 3000; ++step) {
        const auto at = qsizetype(random() % (expected.size() + 1));
        switch (random() % 5) {
            case 0:
            case 1: {
                const QByteArray item = someItem();
                list.insert(at, item);
                expected.insert(expected.begin() + at, item);
                break;
            }
            case 2:
                if (expected.empty()) break;
                list.insert(at, list.view(at % list.size()));  // one of its own items
                expected.insert(expected.begin() + at, expected[size_t(at % (expected.size()))]);
                break;
            case 3:
                if (at == qsizetype(expected.size())) break;
                list.remove(at);
                expected.erase(expected.begin() + at);
                break;
            default:
                list.append(someItem());
                expected.push_back(list.at(list.size() - 1));
        }
    }
    ASSERT_EQ(list.toVector(), expected);
    EXPECT_EQ(ByteList(expected), list);
    list.clear();
    EXPECT_TRUE(list.isEmpty());
}
