// The program's icon comes out of the static UI library's resources, at the sizes it claims.

#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

#include "ui/ProgramIcon.h"

class TestProgramIcon : public QObject {
    Q_OBJECT

private:
    QTemporaryDir home_;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(home_.isValid());
        qputenv("HOME", home_.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (home_.path() + "/config").toUtf8());
        qputenv("XDG_STATE_HOME", (home_.path() + "/state").toUtf8());
    }

    // Resources of a static library vanish unless registered from code the program links.
    void iconIsThereWithBothSizes() {
        const QIcon icon = ProgramIcon();
        QVERIFY(!icon.isNull());
        const QList<QSize> sizes = icon.availableSizes();
        QVERIFY2(sizes.contains(QSize(48, 48)), "no 48x48 picture");
        QVERIFY2(sizes.contains(QSize(256, 256)), "no 256x256 picture");
    }

    void eachSizeIsDrawnAtThatSize_data() {
        QTest::addColumn<int>("side");
        QTest::newRow("48") << 48;
        QTest::newRow("256") << 256;
    }
    void eachSizeIsDrawnAtThatSize() {
        QFETCH(int, side);
        ProgramIcon();
        const QImage image(QStringLiteral(":/sondrel/sondrel-%1.png").arg(side));
        QCOMPARE(image.size(), QSize(side, side));
        const QImage drawn = ProgramIcon().pixmap(side, side).toImage();
        QCOMPARE(drawn.size(), QSize(side, side));

        // Transparent corners, a green arrow at the top centre, the brown box below it.
        QCOMPARE(qAlpha(drawn.pixel(0, 0)), 0);
        const QColor arrow = drawn.pixelColor(side / 2, side / 8);
        QCOMPARE(arrow.alpha(), 255);
        QVERIFY2(arrow.green() > arrow.red() && arrow.green() > arrow.blue(),
                 qPrintable(arrow.name()));
        const QColor box = drawn.pixelColor(side / 4, side * 200 / 256);
        QCOMPARE(box.alpha(), 255);
        QVERIFY2(box.red() > box.green() && box.green() > box.blue(), qPrintable(box.name()));
    }
};

QTEST_MAIN(TestProgramIcon)
#include "test_ProgramIcon.moc"
