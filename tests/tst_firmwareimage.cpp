#include "bootloader/FirmwareImage.h"

#include <QDir>
#include <QResource>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// Sixteen tokens "s s+1 ... s+15" and the bytes they stand for.
QByteArray dataLine(int start)
{
    QByteArray line;
    for (int i = 0; i < 16; ++i) {
        if (i > 0)
            line += ' ';
        line += QByteArray::number((start + i) & 0xFF, 16).rightJustified(2, '0').toUpper();
    }
    return line;
}

QByteArray dataBytes(int start)
{
    QByteArray bytes;
    for (int i = 0; i < 16; ++i)
        bytes.append(char((start + i) & 0xFF));
    return bytes;
}

const QByteArray ivLine = "#:CRYPTO_IV=00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF";

QList<QByteArray> headerLines()
{
    return {"#:FIRMWARE_NAME=LQ770 Line Card", "#:PLATFORM_ID=04 03", "#:MINIMUM_FLASH=3000",
            "#:MINIMUM_SRAM=0200", ivLine};
}

// A small complete image: header, "@D000", two data lines, "q".
QList<QByteArray> validLines()
{
    return headerLines() + QList<QByteArray>{"@D000", dataLine(0x00), dataLine(0x10), "q"};
}

QByteArray join(const QList<QByteArray> &lines, const QByteArray &eol = "\r\n")
{
    QByteArray text;
    for (const QByteArray &line : lines)
        text += line + eol;
    return text;
}

const QStringList resourceNames = {
    "LQ770_KRONE_LSAPLUS_S2_10PAIR.txt", "LQ770_KRONE_LSAPLUS_HD180_10PAIR.txt",
    "LQ770_QUANTE_SIDC_10PAIR.txt",      "LQ770_QUANTE_SIDC_20PAIR.txt",
    "LQ770_RANDM_VS_COMPACT_10PAIR.txt", "LQ770_RANDM_VS_COMPACT_16PAIR_XC.txt",
    "LQ770_RANDM_VS_COMPACT_20PAIR.txt",
};

} // namespace

class tst_FirmwareImage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void embeddedImage_data();
    void embeddedImage();
    void embeddedBundle();

    void validMinimal();
    void insertedLine_data();
    void insertedLine();
    void headerValuesVerbatim();
    void linesAfterEndMarker();
    void twoAddressLines();
    void addressLine_data();
    void addressLine();
    void requiredKeys_data();
    void requiredKeys();
    void platformId_data();
    void platformId();
    void lineEndings_data();
    void lineEndings();
    void sizeLimit();
    void unreadablePath();
    void shortLastPage();

private:
    QString writeFile(const QByteArray &contents,
                      const QString &name = QStringLiteral("image.txt"));

    std::unique_ptr<QTemporaryDir> dir;
    FirmwareImage image;
};

void tst_FirmwareImage::initTestCase()
{
    Q_INIT_RESOURCE(firmware);
}

void tst_FirmwareImage::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    image = FirmwareImage();
}

void tst_FirmwareImage::cleanup()
{
    dir.reset();
}

QString tst_FirmwareImage::writeFile(const QByteArray &contents, const QString &name)
{
    const QString path = dir->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
        qFatal("cannot write fixture %s", qPrintable(path));
    return path;
}

void tst_FirmwareImage::embeddedImage_data()
{
    QTest::addColumn<QString>("object");
    QTest::addColumn<int>("platformId0");
    QTest::addColumn<int>("platformId1");
    QTest::addColumn<QString>("block");
    QTest::addColumn<QString>("driver");

    QTest::newRow("KRONE_LSAPLUS_S2_10PAIR")
        << "LQ770_KRONE_LSAPLUS_S2_10PAIR" << 0x04 << 0x01 << "00"
        << "00";
    QTest::newRow("KRONE_LSAPLUS_HD180_10PAIR")
        << "LQ770_KRONE_LSAPLUS_HD180_10PAIR" << 0x04 << 0x01 << "08"
        << "00";
    QTest::newRow("QUANTE_SIDC_10PAIR") << "LQ770_QUANTE_SIDC_10PAIR" << 0x04 << 0x01 << "05"
                                        << "00";
    QTest::newRow("QUANTE_SIDC_20PAIR") << "LQ770_QUANTE_SIDC_20PAIR" << 0x04 << 0x03 << "05"
                                        << "01";
    QTest::newRow("RANDM_VS_COMPACT_10PAIR")
        << "LQ770_RANDM_VS_COMPACT_10PAIR" << 0x04 << 0x01 << "06"
        << "00";
    QTest::newRow("RANDM_VS_COMPACT_16PAIR_XC")
        << "LQ770_RANDM_VS_COMPACT_16PAIR_XC" << 0x04 << 0x20 << "06"
        << "0B";
    QTest::newRow("RANDM_VS_COMPACT_20PAIR")
        << "LQ770_RANDM_VS_COMPACT_20PAIR" << 0x04 << 0x03 << "06"
        << "01";
}

void tst_FirmwareImage::embeddedImage()
{
    QFETCH(QString, object);
    QFETCH(int, platformId0);
    QFETCH(int, platformId1);
    QFETCH(QString, block);
    QFETCH(QString, driver);

    const QString path = ":/firmware/" + object + ".txt";
    const QResource resource(path);
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray raw = file.readAll();
    QCOMPARE(raw.size(), 26084);

    QVERIFY(image.load(path));
    QVERIFY(image.isLoaded());
    QCOMPARE(image.headerValue("LQ770_OBJECT").trimmed(), object);
    QCOMPARE(image.headerValue("LQ770_BLOCK").trimmed(), block);
    QCOMPARE(image.headerValue("LQ770_DRIVER").trimmed(), driver);
    QCOMPARE(image.headerValue("FIRMWARE_VERSION").trimmed(), QString("1.3"));
    QCOMPARE(image.headerValue("LQ770_VERSION").trimmed(), QString("01 00"));
    // Padded line: sixteen tokens and two trailing blanks.
    QCOMPARE(image.headerValue("DEVICE_ID"), QString("25 53" + QString(" ??").repeated(14) + "  "));
    QCOMPARE(int(image.platformId0()), platformId0);
    QCOMPARE(int(image.platformId1()), platformId1);
    QCOMPARE(image.minimumFlash(), quint16(0x3000));
    QCOMPARE(image.minimumSram(), quint16(0x0200));
    QCOMPARE(image.loadAddress(), quint32(0xD000));
    QCOMPARE(image.header().size(), 17);

    // Independent reading of the text: the IV tokens and the data lines
    // between "@D000" and "q".
    const QList<QByteArray> lines = raw.split('\n');
    QByteArray expectedPayload;
    QByteArray expectedIv;
    bool inData = false;
    for (QByteArray line : lines) {
        line = line.trimmed();
        if (line.startsWith("#:CRYPTO_IV="))
            expectedIv = QByteArray::fromHex(line.mid(12));
        else if (line == "@D000")
            inData = true;
        else if (line == "q")
            inData = false;
        else if (inData)
            expectedPayload += QByteArray::fromHex(line);
    }
    QCOMPARE(expectedIv.size(), 16);
    QCOMPARE(image.cryptoIv(), expectedIv);
    QCOMPARE(expectedPayload.size(), 8192);
    QCOMPARE(image.payload(), expectedPayload);

    QByteArray pages;
    for (quint32 page = 0; page < 128; ++page) {
        const QByteArray bytes = image.getPage(page);
        QCOMPARE(bytes.size(), 64);
        pages += bytes;
    }
    QCOMPARE(pages, expectedPayload);
    QVERIFY(image.getPage(128).isEmpty());
    QCOMPARE(image.getPageAddress(0), quint32(0xD000));
    QCOMPARE(image.getPageAddress(1), quint32(0xD040));
    QCOMPARE(image.getPageAddress(127), quint32(0xEFC0));
}

void tst_FirmwareImage::embeddedBundle()
{
    QStringList expected = resourceNames;
    expected.sort();
    QStringList actual = QDir(":/firmware").entryList(QDir::Files);
    actual.sort();
    QCOMPARE(actual, expected);

    // Each image has its own IV and payload.
    QSet<QByteArray> ivs;
    QSet<QByteArray> payloads;
    for (const QString &name : resourceNames) {
        FirmwareImage each;
        QVERIFY(each.load(":/firmware/" + name));
        ivs.insert(each.cryptoIv());
        payloads.insert(each.payload());
    }
    QCOMPARE(ivs.size(), 7);
    QCOMPARE(payloads.size(), 7);
}

void tst_FirmwareImage::validMinimal()
{
    QVERIFY(image.load(writeFile(join(validLines()))));
    QVERIFY(image.isLoaded());
    QCOMPARE(image.payload(), dataBytes(0x00) + dataBytes(0x10));
    QCOMPARE(image.cryptoIv(), QByteArray::fromHex("00112233445566778899AABBCCDDEEFF"));
    QCOMPARE(image.minimumFlash(), quint16(0x3000));
    QCOMPARE(image.minimumSram(), quint16(0x0200));
    QCOMPARE(int(image.platformId0()), 0x04);
    QCOMPARE(int(image.platformId1()), 0x03);
    QCOMPARE(image.loadAddress(), quint32(0xD000));
    QCOMPARE(image.pageSize(), quint32(64));
}

// One extra line between the two data lines of the valid image.
void tst_FirmwareImage::insertedLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("bytes"); // what the line adds to the payload

    const QByteArray sixteen = dataLine(0x40);
    const QByteArray fifteen = sixteen.left(sixteen.lastIndexOf(' '));

    QTest::newRow("header without '='") << QByteArray("#:FOO") << false << QByteArray();
    QTest::newRow("header with two '='") << QByteArray("#:FOO=1=2") << false << QByteArray();
    QTest::newRow("header with empty value") << QByteArray("#:FOO=") << true << QByteArray();
    QTest::newRow("16 bytes") << sixteen << true << dataBytes(0x40);
    QTest::newRow("15 bytes") << fifteen << false << QByteArray();
    QTest::newRow("17 bytes") << (sixteen + " 50") << false << QByteArray();
    QTest::newRow("trailing blank") << (sixteen + ' ') << false << QByteArray();
    QTest::newRow("leading blank") << (' ' + sixteen) << false << QByteArray();
    QTest::newRow("double blank") << QByteArray(sixteen).replace(2, 1, "  ") << false
                                  << QByteArray();
    QTest::newRow("empty line") << QByteArray() << false << QByteArray();
    QTest::newRow("tab separator")
        << QByteArray(sixteen).replace(2, 1, "\t") << false << QByteArray();
    QTest::newRow("3 digits 123 -> 23, lower case")
        << QByteArray("123 ff 0 a 00 00 00 00 00 00 00 00 00 00 00 00") << true
        << QByteArray::fromHex("23 FF 00 0A 00 00 00 00 00 00 00 00 00 00 00 00");
    QTest::newRow("4 digits FFFF -> FF")
        << QByteArray("FFFF 1234 00 00 00 00 00 00 00 00 00 00 00 00 00 00") << true
        << QByteArray::fromHex("FF 34 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    QTest::newRow("5 digits 0FFFF within 16 bits")
        << QByteArray("0FFFF 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00") << true
        << QByteArray::fromHex("FF 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    QTest::newRow("5 digits 10000 over 16 bits")
        << QByteArray("10000 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00") << false
        << QByteArray();
    QTest::newRow("20 digits") << QByteArray(
        "FFFFFFFFFFFFFFFFFFFF 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")
                               << false << QByteArray();
    QTest::newRow("0x prefix") << QByteArray("0x1 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")
                               << false << QByteArray();
    QTest::newRow("sign") << QByteArray("+1 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00") << false
                          << QByteArray();
    QTest::newRow("not hex") << QByteArray("G0 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")
                             << false << QByteArray();
    QTest::newRow("NUL byte") << QByteArray("00\0 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", 48)
                              << false << QByteArray();
}

void tst_FirmwareImage::insertedLine()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, ok);
    QFETCH(QByteArray, bytes);

    QList<QByteArray> lines = validLines();
    lines.insert(lines.indexOf(dataLine(0x10)), line);
    QCOMPARE(image.load(writeFile(join(lines))), ok);
    QCOMPARE(image.isLoaded(), ok);
    if (ok)
        QCOMPARE(image.payload(), dataBytes(0x00) + bytes + dataBytes(0x10));
    else
        QCOMPARE(image.payload(), dataBytes(0x00)); // what was read before the failure
}

void tst_FirmwareImage::headerValuesVerbatim()
{
    QList<QByteArray> lines = validLines();
    lines.prepend("#:MINIMUM_FLASH=1000"); // replaced by the later line
    lines.prepend("#:NOTE=  two blanks each side  ");
    lines.prepend("#:EMPTY=");
    lines.prepend("#:=no key");
    QVERIFY(image.load(writeFile(join(lines))));

    QCOMPARE(image.headerValue("NOTE"), QString("  two blanks each side  "));
    QCOMPARE(image.headerValue("EMPTY"), QString(""));
    QVERIFY(image.header().contains("EMPTY"));
    QCOMPARE(image.headerValue(""), QString("no key"));
    QCOMPARE(image.headerValue("note"), QString()); // keys are case-sensitive
    QCOMPARE(image.headerValue("ABSENT"), QString());
    QCOMPARE(image.minimumFlash(), quint16(0x3000));
}

void tst_FirmwareImage::linesAfterEndMarker()
{
    QList<QByteArray> lines = validLines();
    lines << dataLine(0x20) << "#:LATE=yes"
          << "quit" << dataLine(0x30);
    QVERIFY(image.load(writeFile(join(lines))));
    QCOMPARE(image.payload(),
             dataBytes(0x00) + dataBytes(0x10) + dataBytes(0x20) + dataBytes(0x30));
    QCOMPARE(image.headerValue("LATE"), QString("yes"));
}

void tst_FirmwareImage::twoAddressLines()
{
    const QList<QByteArray> lines = headerLines()
                                    + QList<QByteArray>{"@D000", dataLine(0x00), dataLine(0x10),
                                                        "@E000", dataLine(0x20), dataLine(0x30),
                                                        "q"};
    QVERIFY(image.load(writeFile(join(lines))));
    QCOMPARE(image.loadAddress(), quint32(0xE000));
    QCOMPARE(image.getPageAddress(0), quint32(0xE000));
    QCOMPARE(image.getPage(0),
             dataBytes(0x00) + dataBytes(0x10) + dataBytes(0x20) + dataBytes(0x30));
}

void tst_FirmwareImage::addressLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<uint>("address");

    QTest::newRow("@E100") << QByteArray("@E100") << 0xE100u;
    QTest::newRow("@e1ab") << QByteArray("@e1ab") << 0xE1ABu;
    QTest::newRow("@FFFFFFFF") << QByteArray("@FFFFFFFF") << 0xFFFFFFFFu;
    QTest::newRow("@0000000012345678") << QByteArray("@0000000012345678") << 0x12345678u;
    QTest::newRow("@100000000: over 32 bits") << QByteArray("@100000000") << 0u;
    QTest::newRow("@XYZ") << QByteArray("@XYZ") << 0u;
    QTest::newRow("@ (empty)") << QByteArray("@") << 0u;
    QTest::newRow("@ E100 (blank)") << QByteArray("@ E100") << 0u;
    QTest::newRow("@0xE100") << QByteArray("@0xE100") << 0u;
}

void tst_FirmwareImage::addressLine()
{
    QFETCH(QByteArray, line);
    QFETCH(uint, address);

    // A previous load leaves 0xD000; a non-number must still give 0.
    QVERIFY(image.load(writeFile(join(validLines()), "first.txt")));
    QList<QByteArray> lines = validLines();
    lines.replace(lines.indexOf("@D000"), line);
    QVERIFY(image.load(writeFile(join(lines))));
    QCOMPARE(image.loadAddress(), quint32(address));
}

void tst_FirmwareImage::requiredKeys_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("value"); // null: the key is left out
    QTest::addColumn<bool>("ok");

    QTest::newRow("no CRYPTO_IV") << QByteArray("CRYPTO_IV") << QByteArray() << false;
    QTest::newRow("no MINIMUM_FLASH") << QByteArray("MINIMUM_FLASH") << QByteArray() << false;
    QTest::newRow("no MINIMUM_SRAM") << QByteArray("MINIMUM_SRAM") << QByteArray() << false;
    QTest::newRow("no PLATFORM_ID") << QByteArray("PLATFORM_ID") << QByteArray() << false;
    QTest::newRow("CRYPTO_IV empty") << QByteArray("CRYPTO_IV") << QByteArray("") << false;
    QTest::newRow("CRYPTO_IV bad token") << QByteArray("CRYPTO_IV") << QByteArray("00 GG") << false;
    QTest::newRow("CRYPTO_IV trailing blank")
        << QByteArray("CRYPTO_IV") << QByteArray("00 11 ") << false;
    QTest::newRow("CRYPTO_IV 2 bytes") << QByteArray("CRYPTO_IV") << QByteArray("00 11") << true;
    QTest::newRow("MINIMUM_FLASH 10000")
        << QByteArray("MINIMUM_FLASH") << QByteArray("10000") << false;
    QTest::newRow("MINIMUM_FLASH padded")
        << QByteArray("MINIMUM_FLASH") << QByteArray("3000 ") << false;
    QTest::newRow("MINIMUM_FLASH FFFF")
        << QByteArray("MINIMUM_FLASH") << QByteArray("FFFF") << true;
    QTest::newRow("MINIMUM_SRAM empty") << QByteArray("MINIMUM_SRAM") << QByteArray("") << false;
    QTest::newRow("MINIMUM_SRAM -1") << QByteArray("MINIMUM_SRAM") << QByteArray("-1") << false;
    QTest::newRow("PLATFORM_ID empty") << QByteArray("PLATFORM_ID") << QByteArray("") << true;
}

void tst_FirmwareImage::requiredKeys()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, value);
    QFETCH(bool, ok);

    QList<QByteArray> lines;
    for (const QByteArray &line : validLines()) {
        if (!line.startsWith("#:" + key + "="))
            lines << line;
        else if (!value.isNull())
            lines << "#:" + key + "=" + value;
    }
    QCOMPARE(image.load(writeFile(join(lines))), ok);
    QCOMPARE(image.isLoaded(), ok);
    QCOMPARE(image.payload().size(), 32); // the payload itself was complete
}

void tst_FirmwareImage::platformId_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("second");

    QTest::newRow("'04 20'") << QByteArray("04 20") << 0x04 << 0x20;
    QTest::newRow("'04 01' padded") << QByteArray("04 01" + QByteArray(40, ' ')) << 0x04 << 0x01;
    QTest::newRow("'ab cd'") << QByteArray("ab cd") << 0xAB << 0xCD;
    QTest::newRow("'04-01'") << QByteArray("04-01") << 0x04 << 0x01;
    QTest::newRow("'04 1'") << QByteArray("04 1") << 0x04 << 0x01;
    QTest::newRow("'04 '") << QByteArray("04 ") << 0x04 << 0x00;
    QTest::newRow("'04'") << QByteArray("04") << 0x04 << 0x00;
    QTest::newRow("'4'") << QByteArray("4") << 0x04 << 0x00;
    QTest::newRow("''") << QByteArray("") << 0x00 << 0x00;
    QTest::newRow("'ZZ 01'") << QByteArray("ZZ 01") << 0x00 << 0x01;
    QTest::newRow("' 4 01'") << QByteArray(" 4 01") << 0x00 << 0x01;
}

void tst_FirmwareImage::platformId()
{
    QFETCH(QByteArray, value);
    QFETCH(int, first);
    QFETCH(int, second);

    QList<QByteArray> lines = validLines();
    lines.replace(lines.indexOf("#:PLATFORM_ID=04 03"), "#:PLATFORM_ID=" + value);
    QVERIFY(image.load(writeFile(join(lines))));
    QCOMPARE(int(image.platformId0()), first);
    QCOMPARE(int(image.platformId1()), second);
}

void tst_FirmwareImage::lineEndings_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ok");

    const QByteArray lf = join(validLines(), "\n");
    const QByteArray crlf = join(validLines(), "\r\n");
    QTest::newRow("LF") << lf << true;
    QTest::newRow("CR LF") << crlf << true;
    QTest::newRow("CR LF, no final line end") << crlf.left(crlf.size() - 2) << true;
    QTest::newRow("LF, no final end marker")
        << join(validLines().mid(0, validLines().size() - 1), "\n") << true;
    QTest::newRow("CR only") << join(validLines(), "\r") << false;
    QTest::newRow("CR CR LF") << join(validLines(), "\r\r\n") << false;
    QTest::newRow("blank line at the end") << (crlf + "\r\n") << false;
    QTest::newRow("empty file") << QByteArray() << false;
}

void tst_FirmwareImage::lineEndings()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ok);

    QCOMPARE(image.load(writeFile(text)), ok);
    if (ok) {
        QCOMPARE(image.payload(), dataBytes(0x00) + dataBytes(0x10));
        QCOMPARE(image.headerValue("FIRMWARE_NAME"), QString("LQ770 Line Card"));
    }

    // The same text from memory gives the same image.
    FirmwareImage fromBytes;
    QCOMPARE(fromBytes.loadFromBytes(text), ok);
    QCOMPARE(fromBytes.payload(), image.payload());
    QCOMPARE(fromBytes.header(), image.header());
}

void tst_FirmwareImage::sizeLimit()
{
    // Pad a valid image with a header line to exactly the limit.
    const QByteArray base = join(validLines());
    const QByteArray padLine = "#:PAD=\r\n";
    const int fill = int(FirmwareImage::MAX_FILE_SIZE) - base.size() - padLine.size();
    const QByteArray atLimit = "#:PAD=" + QByteArray(fill, ' ') + "\r\n" + base;
    QCOMPARE(atLimit.size(), 1024 * 1024);
    QVERIFY(image.load(writeFile(atLimit, "limit.txt")));

    const QByteArray overLimit = "#:PAD=" + QByteArray(fill + 1, ' ') + "\r\n" + base;
    QVERIFY(!image.load(writeFile(overLimit, "over.txt")));
    QVERIFY(!image.isLoaded());
    QVERIFY(image.loadFromBytes(atLimit));
    QVERIFY(!image.loadFromBytes(overLimit));
    QVERIFY(!image.isLoaded());
}

void tst_FirmwareImage::unreadablePath()
{
    QVERIFY(image.load(writeFile(join(validLines()))));
    QVERIFY(!image.load(dir->filePath("missing.txt")));
    QVERIFY(!image.isLoaded());
    QVERIFY(!image.load(dir->path()));
    QVERIFY(!image.load(":/firmware/missing.txt"));
    QVERIFY(!image.load(QString()));
    QVERIFY(!image.isLoaded());
}

void tst_FirmwareImage::shortLastPage()
{
    QList<QByteArray> lines = validLines();
    lines.insert(lines.indexOf("q"), dataLine(0x20));
    lines.insert(lines.indexOf("q"), dataLine(0x30));
    lines.insert(lines.indexOf("q"), dataLine(0x40));
    QVERIFY(image.load(writeFile(join(lines))));
    QCOMPARE(image.payload().size(), 80);
    QCOMPARE(image.getPage(0), image.payload().left(64));
    QCOMPARE(image.getPage(1), dataBytes(0x40));
    QVERIFY(image.getPage(2).isEmpty());
    QVERIFY(image.getPage(0xFFFFFFFFu).isEmpty());
}

QTEST_GUILESS_MAIN(tst_FirmwareImage)
#include "tst_firmwareimage.moc"
