// The level field's typing, change and arrow rules, driven through real key events.

#include <QClipboard>
#include <QDialog>
#include <QGuiApplication>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>
#include <memory>

#include "tests/ui/support/FreshEnvironment.h"
#include "ui/LevelField.h"

class TestLevelField : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        env_ = std::make_unique<FreshEnvironment>();
        QVERIFY(env_->IsValid());
        dialog_ = std::make_unique<QDialog>();
        auto* layout = new QVBoxLayout(dialog_.get());
        field_ = new LevelField(dialog_.get());
        button_ = new QPushButton(QStringLiteral("Suchen"), dialog_.get());
        button_->setDefault(true);
        layout->addWidget(field_);
        layout->addWidget(button_);
        dialog_->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog_.get()));
        field_->setFocus();
    }
    void cleanup() {
        dialog_.reset();
        env_.reset();
    }

    void typingLetsOnlyDigitsThrough() {
        field_->SetLevelText(QStringLiteral("5"));
        // Typed before the digit, a leaked character would turn the text into 1.
        for (const QChar c : QStringLiteral("a-.x Z")) {
            field_->home(false);
            QTest::keyClick(field_, c.toLatin1());
            QCOMPARE(field_->text(), QStringLiteral("5"));
        }
        field_->home(false);
        QTest::keyClick(field_, Qt::Key_3);
        QCOMPARE(field_->text(), QStringLiteral("35"));
        // Two characters at most.
        QTest::keyClick(field_, Qt::Key_7);
        QCOMPARE(field_->text(), QStringLiteral("35"));
        // Digits from the keypad are digits too.
        field_->end(false);
        QTest::keyClick(field_, Qt::Key_Backspace);
        QTest::keyClick(field_, Qt::Key_8, Qt::KeypadModifier);
        QCOMPARE(field_->text(), QStringLiteral("38"));
    }

    void controlCharactersAreDiscarded() {
        QClipboard* clipboard = QGuiApplication::clipboard();
        clipboard->setText(QStringLiteral("42"));
        if (clipboard->text() != QStringLiteral("42")) {
            QSKIP("no clipboard on this platform");
        }
        field_->SetLevelText(QStringLiteral("7"));
        field_->selectAll();
        QTest::keyClick(field_, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(field_->text(), QStringLiteral("7"));
        QTest::keyClick(field_, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(field_->text(), QStringLiteral("7"));
    }

    void emptiedFieldShowsOne() {
        field_->SetLevelText(QStringLiteral("53"));
        field_->end(false);
        QTest::keyClick(field_, Qt::Key_Backspace);
        QCOMPARE(field_->text(), QStringLiteral("5"));
        QTest::keyClick(field_, Qt::Key_Backspace);
        QCOMPARE(field_->text(), QStringLiteral("1"));
        QCOMPARE(field_->cursorPosition(), 1);
        // Deleting forward from the start as well.
        field_->SetLevelText(QStringLiteral("8"));
        field_->home(false);
        QTest::keyClick(field_, Qt::Key_Delete);
        QCOMPARE(field_->text(), QStringLiteral("1"));
        QCOMPARE(field_->cursorPosition(), 1);
    }

    void leadingZeroIsDroppedAndCaretGoesToEnd() {
        field_->SetLevelText(QStringLiteral("7"));
        field_->home(false);
        QTest::keyClick(field_, Qt::Key_0);
        QCOMPARE(field_->text(), QStringLiteral("7"));
        QCOMPARE(field_->cursorPosition(), 1);
        // Replacing the whole text by 0 gives 1.
        field_->selectAll();
        QTest::keyClick(field_, Qt::Key_0);
        QCOMPARE(field_->text(), QStringLiteral("1"));
        QCOMPARE(field_->cursorPosition(), 1);
    }

    void programmaticTextsAreClamped_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::newRow("in range") << "42"
                                  << "42";
        QTest::newRow("zero") << "0"
                              << "1";
        QTest::newRow("leading zero") << "07"
                                      << "7";
        QTest::newRow("above 99, not cut to two digits") << "250"
                                                         << "99";
        QTest::newRow("negative") << "-3"
                                  << "1";
        QTest::newRow("empty") << ""
                               << "1";
        QTest::newRow("no number") << "abc"
                                   << "1";
        QTest::newRow("blanks before the number") << " 12"
                                                  << "12";
        QTest::newRow("digits then text") << "9x"
                                          << "9";
        QTest::newRow("fraction half to even") << "2.5"
                                               << "2";
    }
    void programmaticTextsAreClamped() {
        QFETCH(QString, stored);
        QFETCH(QString, shown);
        field_->SetLevelText(stored);
        QCOMPARE(field_->text(), shown);
        // A plain setText goes through the same change rule.
        field_->setText(QStringLiteral("5"));
        field_->setText(stored.left(2));
        QCOMPARE(field_->text(), QString::number(LevelField::LevelOf(stored.left(2))));
    }

    void arrowsStepTheValue_data() {
        QTest::addColumn<QString>("start");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("result");
        const int none = Qt::NoModifier;
        QTest::newRow("up") << "5" << int(Qt::Key_Up) << none << "6";
        QTest::newRow("down") << "5" << int(Qt::Key_Down) << none << "4";
        QTest::newRow("shift up") << "5" << int(Qt::Key_Up) << int(Qt::ShiftModifier) << "99";
        QTest::newRow("alt up") << "1" << int(Qt::Key_Up) << int(Qt::AltModifier) << "99";
        QTest::newRow("ctrl down") << "40" << int(Qt::Key_Down) << int(Qt::ControlModifier) << "1";
        QTest::newRow("shift down") << "5" << int(Qt::Key_Down) << int(Qt::ShiftModifier) << "1";
        QTest::newRow("up to the bound") << "98" << int(Qt::Key_Up) << none << "99";
        QTest::newRow("up at 99") << "99" << int(Qt::Key_Up) << none << "99";
        QTest::newRow("shift up at 99")
            << "99" << int(Qt::Key_Up) << int(Qt::ShiftModifier) << "99";
        QTest::newRow("down to the bound") << "2" << int(Qt::Key_Down) << none << "1";
        QTest::newRow("down at 1") << "1" << int(Qt::Key_Down) << none << "1";
        QTest::newRow("ctrl down at 1")
            << "1" << int(Qt::Key_Down) << int(Qt::ControlModifier) << "1";
    }
    void arrowsStepTheValue() {
        QFETCH(QString, start);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, result);
        field_->SetLevelText(start);
        QTest::keyClick(field_, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(field_->text(), result);
    }

    void enterAndEscapeReachTheDialog() {
        QSignalSpy clicked(button_, &QPushButton::clicked);
        QSignalSpy finished(dialog_.get(), &QDialog::finished);
        field_->SetLevelText(QStringLiteral("5"));
        QTest::keyClick(field_, Qt::Key_Return);
        QCOMPARE(clicked.count(), 1);
        QCOMPARE(field_->text(), QStringLiteral("5"));
        QTest::keyClick(field_, Qt::Key_Escape);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(dialog_->result(), int(QDialog::Rejected));
    }

private:
    std::unique_ptr<FreshEnvironment> env_;
    std::unique_ptr<QDialog> dialog_;
    LevelField* field_ = nullptr;
    QPushButton* button_ = nullptr;
};

QTEST_MAIN(TestLevelField)
#include "test_LevelField.moc"
