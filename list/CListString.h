#pragma once
// CListString: the system's one container, an ordered list of (value, key) string pairs with a
// cursor and a key filter.
//
// Design: a doubly linked chain whose nodes live in one growable array of numbered slots. Slot 0
// is a sentinel anchoring both ends; freed slots are recycled first in, first out. All string
// comparisons are ordinal over UTF-16 code units. Beside the slots the list keeps a count of each
// value and key held in occupied slots, so that ValueExists and KeyExists answer without a walk
// while giving exactly the answers of a walk over every slot (free slots hold empty strings).
//
// Errors: the list error (number 9, source "LinkedList", description "Out of list") and, from
// Item, a bare error 9 are raised as RuntimeError.

#include <QHash>
#include <QString>
#include <cstdint>
#include <deque>
#include <vector>

#include "platform/RuntimeError.h"

class CListString {
public:
    CListString() = default;

    /// "Initialisierung der Liste. Es läßt sich eine initiale Größe und ein Wert für die weitere
    /// Vergrößerung festlegen."
    void InitList(int32_t lInitialAmount, int32_t lSubsequentAmount = 0);

    /// "Setzt eine Filtereigenschaft oder gibt diese zurück. Das Setzen der Eigenschaft macht das
    /// erste Element der Liste, dessen Key-Eigenschaft dem Filter entspricht, zum aktuellen
    /// Element."
    QString Filter() const;
    void SetFilter(const QString& New_Filter);

    /// "Gibt True zurück, falls es kein aktuelles Element gibt."
    bool EOL() const;

    /// "Macht das erste Element zum aktuellen Element."
    void MoveFirst();
    /// "Macht das letzte Element zum aktuellen Element."
    void MoveLast();
    /// "Macht das nächste Element zum aktuellen Element."
    void MoveNext();
    /// "Macht das vorige Element zum aktuellen Element."
    void MovePrev();
    void Move(int32_t lIndex);

    /// "Anzahl der Elemente in der Liste. (Diese Eigenschaft ändert sich NICHT durch die Anwendung
    /// eines Filters!)"
    int32_t Count() const;

    bool ValueExists(const QString& sValue) const;
    bool KeyExists(const QString& sKey) const;

    /// "Fügt der Liste (am Ende) ein neues Element hinzu."
    void Add(const QString& sValue, const QString& sKey = QString());
    /// "Einfügen eines neuen Elementes vor dem aktuellen Element."
    void Insert(const QString& sValue, const QString& sKey = QString());
    /// "Löscht das aktuelle Element. Das neue aktuelle Element wird das nächste in der Liste."
    void Remove();
    void RemoveAll();

    /// "Wert des aktuellen Elementes."
    QString Data() const;
    void SetData(const QString& New_sValue);

    /// "String, der für das Filtern von Elementen eingesetzt werden kann."
    QString Key() const;
    void SetKey(const QString& New_Key);

    /// "Gibt einen Wert anhand des Indizes zurück."
    QString Item(int32_t lIndex) const;
    void SetItem(int32_t lIndex, const QString& sValue);

    /// "Sortieren der Liste nach den Keys."
    void Sort();

private:
    friend struct CListStringInspector;  // tests check slot numbers and invariants

    struct ListNode {
        int32_t lPrev = 0;
        int32_t lNext = 0;
        QString sKey;
        QString sData;
    };

    // Implementation state; see the design note above. The implementation may add members.
    int32_t lGrowBy = 0;
    int32_t lCount = 0;
    std::vector<ListNode> aNodes = std::vector<ListNode>(1);
    int32_t lCurrent = 0;
    QString sFilter = QStringLiteral("*");
    std::deque<int32_t> colFreeSlots;
    QHash<QString, int32_t> valueCounts_;  // occupied slots per value
    QHash<QString, int32_t> keyCounts_;    // occupied slots per key

    int32_t allocateSlot();
    void releaseSlot(int32_t lSlot);
    void appendFreeSlots(int32_t lNewUpperBound);
    int32_t seekMatch(int32_t lSlot, bool bForward) const;
    int32_t requireCurrent() const;
    void unlink(int32_t lSlot);
    void linkAfter(int32_t lSlot, int32_t lAfter);
    void linkBefore(int32_t lSlot, int32_t lBefore);
};
