#include "ui/LevelField.h"

#include <QKeyEvent>
#include <algorithm>

namespace {

bool IsDigitText(const QString& sText) {
    return sText.size() == 1 && sText[0] >= u'0' && sText[0] <= u'9';
}

// Whether the key press stands for a typed character: printable keys, Ctrl+letter control
// characters and unnamed keys that carry text. Named keys without a character (arrows, Delete,
// Home, function keys, Escape, Tab) are not, and keep their ordinary meaning.
bool IsCharacter(const QKeyEvent* event) {
    const int key = event->key();
    return key < Qt::Key_Escape || (key == Qt::Key_unknown && !event->text().isEmpty());
}

}  // namespace

LevelField::LevelField(QWidget* parent) : QLineEdit(parent) {
    setMaxLength(2);
    connect(this, &QLineEdit::textChanged, this, &LevelField::ApplyChangeRule);
}

void LevelField::SetLevelText(const QString& sText) {
    setText(QString::number(LevelOf(sText)));
}

void LevelField::ApplyChangeRule() {
    const QString sCanonical = QString::number(Value());
    if (text() != sCanonical) {
        // setText re-enters this rule once with the canonical text, which then stands.
        setText(sCanonical);
        setCursorPosition(static_cast<int>(sCanonical.size()));
    }
}

void LevelField::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    const bool stepToBound =
        (event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)) !=
        Qt::NoModifier;
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
        const int32_t n = Value();
        if (key == Qt::Key_Up && n < kMaxLevel) {
            setText(QString::number(stepToBound ? kMaxLevel : n + 1));
        } else if (key == Qt::Key_Down && n > kMinLevel) {
            setText(QString::number(stepToBound ? kMinLevel : n - 1));
        }
        QLineEdit::keyPressEvent(event);
        return;
    }
    const Qt::KeyboardModifiers chordModifiers =
        event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    const bool passes = key == Qt::Key_Backspace || key == Qt::Key_Return || key == Qt::Key_Enter ||
                        (IsDigitText(event->text()) && chordModifiers == Qt::NoModifier) ||
                        !IsCharacter(event);
    if (!passes) {
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}
