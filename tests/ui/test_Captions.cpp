// Every caption of the six windows can be read whole: each label, check box, radio button, button
// and frame title is measured with the metrics of the font it is drawn in, against the place its
// control gives it, the frames and window around it, and the controls beside it. The walk is
// generic, so controls added later are covered too. CTest runs it with the default font at
// QT_SCALE_FACTOR 1, 1.5 and 2.

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOption>
#include <QTest>
#include <memory>
#include <optional>

#include "app/modBackup.h"
#include "tests/ui/support/FreshEnvironment.h"
#include "ui/frmAbout.h"
#include "ui/frmBackup.h"
#include "ui/frmMain.h"
#include "ui/frmOptions.h"
#include "ui/frmRestore.h"
#include "ui/frmSearch.h"

using modBackup::State;

namespace {

// Where a control draws its caption and where it may draw it, in its own coordinates; nothing
// for controls without a caption (pictures, empty labels).
struct Caption {
    QRect text;
    QRect room;
};

std::optional<Caption> CaptionOf(const QWidget* w) {
    if (const auto* label = qobject_cast<const QLabel*>(w); label && !label->text().isEmpty()) {
        const QFontMetrics metrics(label->font());
        const int m = label->margin();
        const QRect room = label->contentsRect().adjusted(m, m, -m, -m);
        const QSize needed = label->wordWrap()
                                 ? metrics
                                       .boundingRect(QRect(0, 0, room.width(), 1 << 20),
                                                     Qt::TextWordWrap, label->text())
                                       .size()
                                 : metrics.size(0, label->text());
        return Caption{QStyle::alignedRect(Qt::LeftToRight, label->alignment(), needed, room),
                       room};
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(w);
        button && !button->text().isEmpty()) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        QStyle::SubElement element = QStyle::SE_PushButtonContents;
        Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter;
        if (qobject_cast<const QCheckBox*>(button) != nullptr) {
            element = QStyle::SE_CheckBoxContents;
        } else if (qobject_cast<const QRadioButton*>(button) != nullptr) {
            element = QStyle::SE_RadioButtonContents;
        } else {
            alignment = Qt::AlignCenter;
        }
        const QRect room = button->style()->subElementRect(element, &option, button);
        const QSize needed =
            QFontMetrics(button->font()).size(Qt::TextShowMnemonic, button->text());
        return Caption{QStyle::alignedRect(Qt::LeftToRight, alignment, needed, room), room};
    }
    if (const auto* box = qobject_cast<const QGroupBox*>(w); box && !box->title().isEmpty()) {
        QStyleOptionGroupBox option;
        option.initFrom(box);
        option.text = box->title();
        option.lineWidth = 1;
        option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        const QPoint at =
            box->style()
                ->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box)
                .topLeft();
        return Caption{
            QRect(at, QFontMetrics(box->font()).size(Qt::TextShowMnemonic, box->title())),
            box->rect()};
    }
    return std::nullopt;
}

QString Where(const QRect& r) {
    return QStringLiteral("%1x%2 at %3,%4").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y());
}

// What keeps the caption of w from being read whole: too little room in the control, a frame or
// the window around it that clips it, a control beside it that covers it. Empty when nothing.
QString CaptionProblem(const QWidget* w, const Caption& caption) {
    if (!caption.room.contains(caption.text)) {
        return QStringLiteral("needs %1, has %2").arg(Where(caption.text), Where(caption.room));
    }
    for (const QWidget* outer = w->parentWidget(); outer != nullptr;
         outer = outer->isWindow() ? nullptr : outer->parentWidget()) {
        const QRect inOuter(w->mapTo(outer, caption.text.topLeft()), caption.text.size());
        if (!outer->rect().contains(inOuter)) {
            return QStringLiteral("sticks out of %1 (%2)").arg(outer->objectName(), Where(inOuter));
        }
    }
    const QRect inParent = caption.text.translated(w->pos());
    for (const QWidget* sibling :
         w->parentWidget()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (sibling != w && !sibling->isWindow() && sibling->isVisible() &&
            sibling->geometry().intersects(inParent)) {
            return QStringLiteral("runs into %1 (%2)")
                .arg(sibling->objectName(), Where(sibling->geometry()));
        }
    }
    return QString();
}

}  // namespace

class TestCaptions : public QObject {
    Q_OBJECT

    std::unique_ptr<FreshEnvironment> env_;
    std::unique_ptr<frmMain> main_;

    // Every visible caption of the window, at least atLeast of them, can be read whole.
    static void ExpectReadable(QWidget* window, int atLeast) {
        int checked = 0;
        QStringList problems;
        for (QWidget* w : window->findChildren<QWidget*>()) {
            const std::optional<Caption> caption = CaptionOf(w);
            if (w->isVisible() && caption) {
                ++checked;
                const QString sProblem = CaptionProblem(w, *caption);
                if (!sProblem.isEmpty()) {
                    problems << w->objectName() + QStringLiteral(": ") + sProblem;
                }
            }
        }
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QStringLiteral("; "))));
        QVERIFY2(checked >= atLeast, qPrintable(QString::number(checked)));
    }
    static void Show(QWidget* w) {
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
    }

private Q_SLOTS:
    void initTestCase() {
        // Without a real font every text measures as nothing and fits anywhere.
        QVERIFY(!QFontDatabase::families().isEmpty());
        const QFontInfo used(QApplication::font());
        QVERIFY(QFontMetrics(QApplication::font()).horizontalAdvance(QStringLiteral("Wäg")) > 10);
        qInfo("font %s %.1f pt, scale %s", qPrintable(used.family()), used.pointSizeF(),
              qgetenv("QT_SCALE_FACTOR").isEmpty() ? "1" : qgetenv("QT_SCALE_FACTOR").constData());
    }
    void init() {
        env_ = std::make_unique<FreshEnvironment>();
        QVERIFY(env_->IsValid());
        State().Extensions = std::make_unique<CListString>();
        State().ExcludeFolders = std::make_unique<CListString>();
        QVERIFY(modBackup::LoadBackupList());
        State().BackupFiles->Add(env_->MakeFile(QStringLiteral("Briefe/Kündigung.odt")));
        main_ = std::make_unique<frmMain>();
        Show(main_.get());
    }
    void cleanup() {
        main_.reset();
        env_.reset();
    }

    void mainWindow() {
        ExpectReadable(main_.get(), 2);  // the two status panels
    }

    void searchDialog() {
        frmSearch dialog(main_.get());
        Show(&dialog);
        ExpectReadable(&dialog, 9);
        // While it runs: "Abbrechen" and the status text.
        auto* button = dialog.findChild<QPushButton*>(QStringLiteral("cmdAction1"));
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(button->text(), QStringLiteral("Abbrechen"));
        ExpectReadable(&dialog, 10);
        QTRY_VERIFY(dialog.bStopped());
        ExpectReadable(&dialog, 10);
    }

    void backupDialog() {
        frmBackup dialog(main_.get());
        Show(&dialog);
        ExpectReadable(&dialog, 11);
    }

    void optionsDialog() {
        frmOptions dialog(main_.get());
        Show(&dialog);
        ExpectReadable(&dialog, 16);
    }

    void restoreDialog() {
        frmRestore dialog(main_.get());
        Show(&dialog);
        // Also once the archive folder has been read and its problem is shown below the tree.
        ExpectReadable(&dialog, 13);
        QTRY_VERIFY(!dialog.StatusText().endsWith(QStringLiteral("...")));
        ExpectReadable(&dialog, 13);
    }

    void aboutDialog() {
        frmAbout dialog(main_.get());
        Show(&dialog);
        ExpectReadable(&dialog, 8);
    }
};

QTEST_MAIN(TestCaptions)
#include "test_Captions.moc"
