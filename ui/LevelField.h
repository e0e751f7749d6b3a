#pragma once
// LevelField: the one-or-two-digit field for a folder-level limit (1 to 99), shared by the change
// search and the options dialog.
//
// Three rules, the same in both dialogs:
// - typing: only the digits 0-9, Backspace and Enter get through; every other character (control
//   characters such as Ctrl+V included) is discarded before it reaches the field;
// - change: after every change the text's leading number, clamped to 1..99, replaces the text when
//   the text is not exactly its decimal form, and the caret goes to the end;
// - arrows: Up steps +1 (to 99 with Shift, Ctrl or Alt), Down -1 (to 1 with a modifier); nothing
//   happens at the bounds. The key then keeps its ordinary effect.

#include <QLineEdit>
#include <QStringView>
#include <cstdint>

#include "app/LeadingNumber.h"

class LevelField : public QLineEdit {
    Q_OBJECT
public:
    static constexpr int32_t kMinLevel = kMinFolderLevel;
    static constexpr int32_t kMaxLevel = kMaxFolderLevel;

    explicit LevelField(QWidget* parent = nullptr);

    /// The level a text stands for: its leading number clamped to 1..99 (FolderLevel).
    static int32_t LevelOf(QStringView sText) { return FolderLevel(sText); }

    /// The level the field shows.
    int32_t Value() const { return LevelOf(text()); }

    /// Sets the text as a program would (stored values): the change rule applies to the whole
    /// text before the two-character limit could cut it, so "250" shows 99, not 25.
    void SetLevelText(const QString& sText);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void ApplyChangeRule();
};
