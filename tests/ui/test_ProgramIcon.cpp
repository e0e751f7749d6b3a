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

        // A picture, not an empty or wholly transparent square.
        qsizetype opaque = 0;
        for (int y = 0; y < side; ++y) {
            for (int x = 0; x < side; ++x) {
                opaque += qAlpha(drawn.pixel(x, y)) == 255 ? 1 : 0;
            }
        }
        QVERIFY2(opaque >= side * side / 4, qPrintable(QString::number(opaque)));
    }
};

QTEST_MAIN(TestProgramIcon)
#include "test_ProgramIcon.moc"
