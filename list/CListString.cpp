#include "list/CListString.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "list/Wildcard.h"

namespace {

constexpr int32_t kDefaultInitialAmount = 100;
constexpr int32_t kDefaultGrowBy = 5;
constexpr int64_t kMaxSlot = std::numeric_limits<int32_t>::max();

[[noreturn]] void raiseListError() {
    throw RuntimeError(9, "LinkedList", "Out of list");
}

std::u16string_view units(const QString& s) {
    return {QStringView(s).utf16(), static_cast<std::size_t>(s.size())};
}

// Code unit order, not code point order: a surrogate sorts below U+E000.
bool lessOrdinal(const QString& a, const QString& b) {
    return units(a) < units(b);
}

void countUp(QHash<QString, int32_t>& counts, const QString& s) {
    ++counts[s];
}

void countDown(QHash<QString, int32_t>& counts, const QString& s) {
    const auto it = counts.find(s);
    if (it != counts.end() && --it.value() == 0) {
        counts.erase(it);
    }
}

}  // namespace

void CListString::InitList(int32_t lInitialAmount, int32_t lSubsequentAmount) {
    const int64_t grow = std::llabs(static_cast<int64_t>(lSubsequentAmount));
    lGrowBy = grow == 0 ? 1 : static_cast<int32_t>(std::min(grow, kMaxSlot));
    // A negative initial amount counts as 0: the store holds only the sentinel until it grows.
    const int32_t amount = std::max(lInitialAmount, 0);
    if (lCount > 0) {
        // Elements are never dropped: the store keeps them and only gains free slots up to amount.
        if (static_cast<int64_t>(aNodes.size()) - 1 < amount) {
            appendFreeSlots(amount);
        }
        return;
    }
    aNodes.assign(1, ListNode{});
    colFreeSlots.clear();
    valueCounts_.clear();
    keyCounts_.clear();
    lCurrent = 0;
    appendFreeSlots(amount);
}

QString CListString::Filter() const {
    return sFilter;
}

void CListString::SetFilter(const QString& New_Filter) {
    sFilter = New_Filter;
    MoveFirst();
}

bool CListString::EOL() const {
    return lCurrent == 0;
}

void CListString::MoveFirst() {
    lCurrent = seekMatch(aNodes[0].lNext, true);
}

void CListString::MoveLast() {
    lCurrent = seekMatch(aNodes[0].lPrev, false);
}

void CListString::MoveNext() {
    if (lCurrent != 0) {
        lCurrent = seekMatch(aNodes[lCurrent].lNext, true);
    }
}

void CListString::MovePrev() {
    if (lCurrent != 0) {
        lCurrent = seekMatch(aNodes[lCurrent].lPrev, false);
    }
}

void CListString::Move(int32_t lIndex) {
    if (lIndex < 1 || lIndex > lCount) {
        raiseListError();
    }
    int32_t slot = aNodes[0].lNext;
    for (int32_t i = 1; i < lIndex; ++i) {
        slot = aNodes[slot].lNext;
    }
    lCurrent = slot;
}

int32_t CListString::Count() const {
    return lCount;
}

// Free slots hold "", so "" is found while any slot is free: the same answer as a walk of all
// slots.
bool CListString::ValueExists(const QString& sValue) const {
    return valueCounts_.contains(sValue) || (sValue.isEmpty() && !colFreeSlots.empty());
}

bool CListString::KeyExists(const QString& sKey) const {
    return keyCounts_.contains(sKey) || (sKey.isEmpty() && !colFreeSlots.empty());
}

void CListString::Add(const QString& sValue, const QString& sKey) {
    const int32_t slot = allocateSlot();
    ListNode& node = aNodes[slot];
    node.sData = sValue;
    node.sKey = sKey;
    countUp(valueCounts_, sValue);
    countUp(keyCounts_, sKey);
    ++lCount;
    linkBefore(slot, 0);
}

void CListString::Insert(const QString& sValue, const QString& sKey) {
    const int32_t slot = allocateSlot();
    ListNode& node = aNodes[slot];
    node.sData = sValue;
    node.sKey = sKey;
    countUp(valueCounts_, sValue);
    countUp(keyCounts_, sKey);
    ++lCount;
    if (lCurrent != 0) {
        linkBefore(slot, lCurrent);
    } else {
        linkAfter(slot, 0);
    }
}

void CListString::Remove() {
    const int32_t slot = requireCurrent();
    const int32_t next = aNodes[slot].lNext;
    unlink(slot);
    releaseSlot(slot);
    --lCount;
    lCurrent = next;
}

void CListString::RemoveAll() {
    int32_t slot = aNodes[0].lNext;
    while (slot != 0) {
        const int32_t next = aNodes[slot].lNext;
        releaseSlot(slot);
        slot = next;
    }
    aNodes[0].lNext = 0;
    aNodes[0].lPrev = 0;
    lCount = 0;
    lCurrent = 0;
}

QString CListString::Data() const {
    return aNodes[requireCurrent()].sData;
}

void CListString::SetData(const QString& New_sValue) {
    ListNode& node = aNodes[requireCurrent()];
    countDown(valueCounts_, node.sData);
    countUp(valueCounts_, New_sValue);
    node.sData = New_sValue;
}

QString CListString::Key() const {
    return aNodes[requireCurrent()].sKey;
}

void CListString::SetKey(const QString& New_Key) {
    ListNode& node = aNodes[requireCurrent()];
    countDown(keyCounts_, node.sKey);
    countUp(keyCounts_, New_Key);
    node.sKey = New_Key;
}

namespace {

// Walks from the nearer end; the last half starts at lIndex >= Count / 2 taken as an exact half.
template <typename Nodes>
int32_t slotAt(const Nodes& aNodes, int32_t lCount, int32_t lIndex) {
    if (lIndex < 1 || lIndex > lCount) {
        throw RuntimeError(9, "", "");
    }
    if (2 * static_cast<int64_t>(lIndex) >= lCount) {
        int32_t slot = aNodes[0].lPrev;
        for (int32_t i = lCount; i > lIndex; --i) {
            slot = aNodes[slot].lPrev;
        }
        return slot;
    }
    int32_t slot = aNodes[0].lNext;
    for (int32_t i = 1; i < lIndex; ++i) {
        slot = aNodes[slot].lNext;
    }
    return slot;
}

}  // namespace

QString CListString::Item(int32_t lIndex) const {
    return aNodes[slotAt(aNodes, lCount, lIndex)].sData;
}

void CListString::SetItem(int32_t lIndex, const QString& sValue) {
    ListNode& node = aNodes[slotAt(aNodes, lCount, lIndex)];
    countDown(valueCounts_, node.sData);
    countUp(valueCounts_, sValue);
    node.sData = sValue;
}

void CListString::Sort() {
    if (lCount <= 1) {
        return;
    }
    // Insertion sort by relinking; both walks stop on equal keys, which keeps equal keys in order.
    int32_t c = aNodes[0].lNext;
    int32_t n = aNodes[c].lNext;
    while (c != 0) {
        const QString& key = aNodes[c].sKey;
        bool moved = false;
        const int32_t pred = aNodes[c].lPrev;
        if (pred != 0) {
            int32_t stop = pred;
            while (stop != 0 && lessOrdinal(key, aNodes[stop].sKey)) {
                stop = aNodes[stop].lPrev;
            }
            if (stop != pred) {
                unlink(c);
                linkAfter(c, stop);
                moved = true;
            }
        }
        if (!moved && n != 0) {
            int32_t stop = n;
            while (stop != 0 && lessOrdinal(aNodes[stop].sKey, key)) {
                stop = aNodes[stop].lNext;
            }
            if (stop != n) {
                unlink(c);
                linkBefore(c, stop);
            }
        }
        c = n;
        n = c != 0 ? aNodes[c].lNext : 0;
    }
}

int32_t CListString::allocateSlot() {
    if (lGrowBy == 0) {
        InitList(kDefaultInitialAmount, kDefaultGrowBy);
    }
    if (colFreeSlots.empty()) {
        const int64_t upper = static_cast<int64_t>(aNodes.size()) - 1;
        const int64_t target = std::min(upper + lGrowBy, kMaxSlot);
        if (target == upper) {
            raiseListError();  // slot numbers exhausted
        }
        appendFreeSlots(static_cast<int32_t>(target));
    }
    const int32_t slot = colFreeSlots.front();
    colFreeSlots.pop_front();
    return slot;
}

void CListString::releaseSlot(int32_t lSlot) {
    ListNode& node = aNodes[lSlot];
    countDown(valueCounts_, node.sData);
    countDown(keyCounts_, node.sKey);
    node = ListNode{};
    colFreeSlots.push_back(lSlot);
}

void CListString::appendFreeSlots(int32_t lNewUpperBound) {
    const auto oldUpper = static_cast<int32_t>(aNodes.size()) - 1;
    aNodes.resize(static_cast<std::size_t>(lNewUpperBound) + 1);
    for (int32_t slot = oldUpper + 1; slot <= lNewUpperBound; ++slot) {
        colFreeSlots.push_back(slot);
    }
}

int32_t CListString::seekMatch(int32_t lSlot, bool bForward) const {
    while (lSlot != 0 && !WildcardMatch(aNodes[lSlot].sKey, sFilter)) {
        lSlot = bForward ? aNodes[lSlot].lNext : aNodes[lSlot].lPrev;
    }
    return lSlot;
}

int32_t CListString::requireCurrent() const {
    if (lCurrent == 0) {
        raiseListError();
    }
    return lCurrent;
}

// Slot 0 stands in for "no neighbour" at either end, so these need no special cases.
void CListString::unlink(int32_t lSlot) {
    ListNode& node = aNodes[lSlot];
    aNodes[node.lPrev].lNext = node.lNext;
    aNodes[node.lNext].lPrev = node.lPrev;
    node.lPrev = 0;
    node.lNext = 0;
}

void CListString::linkAfter(int32_t lSlot, int32_t lAfter) {
    const int32_t next = aNodes[lAfter].lNext;
    aNodes[lSlot].lPrev = lAfter;
    aNodes[lSlot].lNext = next;
    aNodes[lAfter].lNext = lSlot;
    aNodes[next].lPrev = lSlot;
}

void CListString::linkBefore(int32_t lSlot, int32_t lBefore) {
    const int32_t prev = aNodes[lBefore].lPrev;
    aNodes[lSlot].lNext = lBefore;
    aNodes[lSlot].lPrev = prev;
    aNodes[prev].lNext = lSlot;
    aNodes[lBefore].lPrev = lSlot;
}
