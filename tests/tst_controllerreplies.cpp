#include "controller/ControllerReplies.h"
#include "tests/support/TestBytes.h"

#include <QtTest>

#include <algorithm>
#include <memory>

template<size_t N> static QByteArray bytesOf(const std::array<quint8, N> &bytes)
{
    QByteArray result;
    for (quint8 b : bytes)
        result.append(char(b));
    return result;
}

static QByteArray padded(const QByteArray &bytes, int size)
{
    return bytes + QByteArray(qMax(0, size - bytes.size()), '\0');
}

// A copy of a body in storage that ends exactly at its last byte, so that
// AddressSanitizer reports any read past the body (a QByteArray's own buffer
// has a terminator and often spare room behind it).
class ExactBody
{
public:
    explicit ExactBody(const QByteArray &bytes) : m_storage(new char[size_t(bytes.size())])
    {
        std::copy(bytes.cbegin(), bytes.cend(), m_storage.get());
        m_bytes = QByteArray::fromRawData(m_storage.get(), bytes.size());
    }
    const QByteArray &bytes() const { return m_bytes; }

private:
    std::unique_ptr<char[]> m_storage;
    QByteArray m_bytes;
};

static QString describe(const LineCardInfoReply &r)
{
    return QStringLiteral("op=%1 card=%2 arg=%3 product=%4 platform=%5 maker=%6 type=%7 pairs=%8 "
                          "wires=%9 info=%10 serial=%11 second=%12")
        .arg(r.opcode)
        .arg(r.card)
        .arg(r.argument)
        .arg(r.productId)
        .arg(r.platformId)
        .arg(r.blockManufacturer)
        .arg(r.blockType)
        .arg(r.blockPairCount)
        .arg(r.wiresPerPair)
        .arg(QString::fromLatin1(bytesOf(r.infoBytes).toHex()))
        .arg(r.serialNumber, 8, 16, QLatin1Char('0'))
        .arg(r.secondWord, 8, 16, QLatin1Char('0'));
}

static QString describe(const ListenEntry &e)
{
    return QStringLiteral("%1/%2/%3 %4/%5/%6")
        .arg(e.valueA)
        .arg(e.flagsA, 2, 16, QLatin1Char('0'))
        .arg(e.counterA)
        .arg(e.valueB)
        .arg(e.flagsB, 2, 16, QLatin1Char('0'))
        .arg(e.counterB);
}

// Long-form information reply: argument 1250, productId 11, platformId 22,
// maker 33, type 44, pair byte 8A, information bytes A1..A4, serial
// 0x12345678, second word 0x89ABCDEF.
static const char longInfo[] = "04 E6 04 11 22 33 44 8A A1 A2 A3 A4 78 56 34 12 EF CD AB 89";
static const char shortInfo[] = "04 E6 04 33 44 8A A1 A2 A3 A4 78 56 34 12 EF CD AB 89";

class tst_ControllerReplies : public QObject
{
    Q_OBJECT

private slots:
    void lineCardInfo_data();
    void lineCardInfo();
    void lineCardInfoPairByte_data();
    void lineCardInfoPairByte();
    void lineCardInfoArgument_data();
    void lineCardInfoArgument();
    void frameInterval_data();
    void frameInterval();
    void flashVersion_data();
    void flashVersion();
    void reflashAction_data();
    void reflashAction();
    void listenEntry_data();
    void listenEntry();
    void listenReplyEntries_data();
    void listenReplyEntries();
    void continuityReplyEntries_data();
    void continuityReplyEntries();
    void everyPrefixReadsOnlyItsBytes_data();
    void everyPrefixReadsOnlyItsBytes();
};

void tst_ControllerReplies::lineCardInfo_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("fields");

    QTest::newRow(longInfo)
        << hex(longInfo)
        << "op=4 card=3 arg=1250 product=17 platform=34 maker=51 type=68 pairs=10 "
           "wires=4 info=a1a2a3a4 serial=12345678 second=89abcdef";
    QTest::newRow(shortInfo)
        << hex(shortInfo)
        << "op=4 card=3 arg=1250 product=0 platform=0 maker=51 type=68 pairs=10 "
           "wires=4 info=a1a2a3a4 serial=12345678 second=89abcdef";
    QTest::newRow("84 01 FF 11 22 33 44 8A A1 A2 A3 A4 78 56 34 12 EF CD AB 89")
        << hex("84 01 FF 11 22 33 44 8A A1 A2 A3 A4 78 56 34 12 EF CD AB 89")
        << "op=4 card=3 arg=1 product=17 platform=34 maker=51 type=68 pairs=10 "
           "wires=4 info=a1a2a3a4 serial=12345678 second=89abcdef";
    // 19 bytes: long form, the second word's top byte missing.
    QTest::newRow("04 E6 04 11 22 33 44 8A A1 A2 A3 A4 78 56 34 12 EF CD AB")
        << hex("04 E6 04 11 22 33 44 8A A1 A2 A3 A4 78 56 34 12 EF CD AB")
        << "op=4 card=3 arg=1250 product=17 platform=34 maker=51 type=68 pairs=10 "
           "wires=4 info=a1a2a3a4 serial=12345678 second=00abcdef";
    QTest::newRow("04 FF FF 33 44 0A A1")
        << hex("04 FF FF 33 44 0A A1")
        << "op=4 card=3 arg=0 product=0 platform=0 maker=51 type=68 pairs=10 "
           "wires=2 info=a1000000 serial=00000000 second=00000000";
    QTest::newRow("empty") << QByteArray()
                           << "op=0 card=3 arg=0 product=0 platform=0 maker=0 type=0 pairs=128 "
                              "wires=2 info=00000000 serial=00000000 second=00000000";
}

void tst_ControllerReplies::lineCardInfo()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, fields);

    const ExactBody exact(body);
    QCOMPARE(describe(LineCardInfoReply::decode(3, exact.bytes())), fields);
}

void tst_ControllerReplies::lineCardInfoPairByte_data()
{
    QTest::addColumn<QByteArray>("pairByte");
    QTest::addColumn<int>("pairCount");
    QTest::addColumn<int>("wiresPerPair");

    QTest::newRow("8A") << hex("8A") << 10 << 4;
    QTest::newRow("0A") << hex("0A") << 10 << 2;
    QTest::newRow("00") << hex("00") << 128 << 2;
    QTest::newRow("80") << hex("80") << 128 << 4;
    QTest::newRow("7F") << hex("7F") << 127 << 2;
    QTest::newRow("01") << hex("01") << 1 << 2;
}

void tst_ControllerReplies::lineCardInfoPairByte()
{
    QFETCH(QByteArray, pairByte);
    QFETCH(int, pairCount);
    QFETCH(int, wiresPerPair);

    QByteArray longBody = hex(longInfo);
    longBody.replace(7, 1, pairByte);
    QByteArray shortBody = hex(shortInfo);
    shortBody.replace(5, 1, pairByte);

    for (const QByteArray &body : {longBody, shortBody}) {
        const LineCardInfoReply reply = LineCardInfoReply::decode(0, body);
        QCOMPARE(int(reply.blockPairCount), pairCount);
        QCOMPARE(int(reply.wiresPerPair), wiresPerPair);
        QCOMPARE(int(reply.blockType), 0x44);
        QCOMPARE(reply.infoBytes[0], quint8(0xA1));
    }
}

void tst_ControllerReplies::lineCardInfoArgument_data()
{
    QTest::addColumn<QByteArray>("digits");
    QTest::addColumn<int>("argument");

    QTest::newRow("E6 04") << hex("E6 04") << 1250;
    QTest::newRow("FF 01") << hex("FF 01") << 255;
    QTest::newRow("FF 02") << hex("FF 02") << 510;
    QTest::newRow("01 FF") << hex("01 FF") << 1;
    QTest::newRow("FF FF") << hex("FF FF") << 0;
    QTest::newRow("FE FE") << hex("FE FE") << 65024;
}

void tst_ControllerReplies::lineCardInfoArgument()
{
    QFETCH(QByteArray, digits);
    QFETCH(int, argument);

    QByteArray body = hex(longInfo);
    body.replace(1, 2, digits);
    QCOMPARE(int(LineCardInfoReply::decode(0, body).argument), argument);
}

void tst_ControllerReplies::frameInterval_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("opcode");
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("error");

    QTest::newRow("03 E6 04") << hex("03 E6 04") << 3 << 1250 << false;
    QTest::newRow("03 FF 01") << hex("03 FF 01") << 3 << 510 << false;
    QTest::newRow("03 FF FF") << hex("03 FF FF") << 3 << 65280 << false;
    QTest::newRow("03 00 00") << hex("03 00 00") << 3 << 0 << false;
    QTest::newRow("C3 58 01 99") << hex("C3 58 01 99") << 3 << 343 << false;
    QTest::newRow("03 E6") << hex("03 E6") << 3 << 0 << true;
    QTest::newRow("03") << hex("03") << 3 << 0 << true;
    QTest::newRow("empty") << QByteArray() << 0 << 0 << true;
}

void tst_ControllerReplies::frameInterval()
{
    QFETCH(QByteArray, body);
    QFETCH(int, opcode);
    QFETCH(int, value);
    QFETCH(bool, error);

    const ExactBody exact(body);
    const FrameIntervalReply reply = FrameIntervalReply::decode(2, exact.bytes());
    QCOMPARE(int(reply.opcode), opcode);
    QCOMPARE(reply.card, 2);
    QCOMPARE(int(reply.value), value);
    QCOMPARE(reply.error, error);
}

void tst_ControllerReplies::flashVersion_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("argumentBytes");
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<bool>("secondPresent");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<bool>("differ");

    QTest::newRow("06 FF FF 01 02 03 04")
        << hex("06 FF FF 01 02 03 04") << hex("FF FF") << hex("01 02 03 04") << false
        << hex("00 00 00 00") << false;
    QTest::newRow("06 FF FF 01 02 03 04 01 02 03 04")
        << hex("06 FF FF 01 02 03 04 01 02 03 04") << hex("FF FF") << hex("01 02 03 04") << true
        << hex("01 02 03 04") << false;
    QTest::newRow("06 FF FF 01 02 03 04 09 02 03 04")
        << hex("06 FF FF 01 02 03 04 09 02 03 04") << hex("FF FF") << hex("01 02 03 04") << true
        << hex("09 02 03 04") << true;
    QTest::newRow("06 FF FF 01 02 03 04 01 02 03 05")
        << hex("06 FF FF 01 02 03 04 01 02 03 05") << hex("FF FF") << hex("01 02 03 04") << true
        << hex("01 02 03 05") << true;
    QTest::newRow("06 FF FF 01 02 03 04 01 02 03 04 77")
        << hex("06 FF FF 01 02 03 04 01 02 03 04 77") << hex("FF FF") << hex("01 02 03 04") << true
        << hex("01 02 03 04") << false;
    // A partial second version: its missing bytes read as 0.
    QTest::newRow("06 FF FF 01 02 03 04 01 02")
        << hex("06 FF FF 01 02 03 04 01 02") << hex("FF FF") << hex("01 02 03 04") << true
        << hex("01 02 00 00") << true;
    QTest::newRow("06 FF FF 01") << hex("06 FF FF 01") << hex("FF FF") << hex("01 00 00 00")
                                 << false << hex("00 00 00 00") << false;
    QTest::newRow("06") << hex("06") << hex("00 00") << hex("00 00 00 00") << false
                        << hex("00 00 00 00") << false;
}

void tst_ControllerReplies::flashVersion()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, argumentBytes);
    QFETCH(QByteArray, first);
    QFETCH(bool, secondPresent);
    QFETCH(QByteArray, second);
    QFETCH(bool, differ);

    const ExactBody exact(body);
    const FlashVersionReply reply = FlashVersionReply::decode(1, exact.bytes());
    QCOMPARE(int(reply.opcode), 0x06);
    QCOMPARE(reply.card, 1);
    QCOMPARE(bytesOf(reply.argumentBytes), argumentBytes);
    QCOMPARE(bytesOf(reply.firstVersion), first);
    QCOMPARE(reply.secondVersionPresent, secondPresent);
    QCOMPARE(bytesOf(reply.secondVersion), second);
    QCOMPARE(reply.versionsDiffer(), differ);
}

void tst_ControllerReplies::reflashAction_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("succeeded");

    QTest::newRow("07 FF FF 01") << hex("07 FF FF 01") << hex("FF FF 01") << true;
    QTest::newRow("47 11 22 80") << hex("47 11 22 80") << hex("11 22 80") << true;
    QTest::newRow("07 FF FF 00") << hex("07 FF FF 00") << hex("FF FF 00") << false;
    QTest::newRow("07 FF FF") << hex("07 FF FF") << hex("FF FF 00") << false;
    QTest::newRow("07") << hex("07") << hex("00 00 00") << false;
}

void tst_ControllerReplies::reflashAction()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, succeeded);

    const ExactBody exact(body);
    const ReflashActionReply reply = ReflashActionReply::decode(0, exact.bytes());
    QCOMPARE(int(reply.opcode), 0x07);
    const QByteArray decoded = QByteArray() + char(reply.byte1) + char(reply.byte2)
                               + char(reply.byte3);
    QCOMPARE(decoded, bytes);
    QCOMPARE(reply.succeeded(), succeeded);
}

void tst_ControllerReplies::listenEntry_data()
{
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<QString>("decoded"); // valueA/flagsA/counterA valueB/flagsB/counterB

    QTest::newRow("64 00 05 5F 80 07") << hex("64 00 05 5F 80 07") << "100/20/5 95/28/7";
    QTest::newRow("78 00 00 78 80 00") << hex("78 00 00 78 80 00") << "120/20/0 120/28/0";
    QTest::newRow("FF FF 00 5F 80 00") << hex("FF FF 00 5F 80 00") << "0/02/0 95/28/0";
    QTest::newRow("FF 7F 00 FF FF 00") << hex("FF 7F 00 FF FF 00") << "0/01/0 0/02/0";
    QTest::newRow("FF 7F 85 FF FF FF") << hex("FF 7F 85 FF FF FF") << "0/41/5 0/42/127";
    // First reading labelled B, second labelled A: both carry the other label.
    QTest::newRow("10 80 00 10 00 00") << hex("10 80 00 10 00 00") << "16/2c/0 16/24/0";
    // Bit 14 is reported in the flags and dropped from the value.
    QTest::newRow("00 40 00 FF 3F 00") << hex("00 40 00 FF 3F 00") << "0/10/0 16383/24/0";
    QTest::newRow("FE FF 00 FF 7E 00") << hex("FE FF 00 FF 7E 00") << "16382/1c/0 16127/14/0";
    QTest::newRow("FF FF 00 FF 7F 80") << hex("FF FF 00 FF 7F 80") << "0/02/0 0/41/0";
}

void tst_ControllerReplies::listenEntry()
{
    QFETCH(QByteArray, entry);
    QFETCH(QString, decoded);

    const ExactBody exact(entry);
    QCOMPARE(describe(ListenEntry::decode(exact.bytes())), decoded);
}

void tst_ControllerReplies::listenReplyEntries_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("opcode");
    QTest::addColumn<QStringList>("entries");

    QTest::newRow("empty") << QByteArray() << 0 << QStringList();
    QTest::newRow("11") << hex("11") << 0x11 << QStringList();
    QTest::newRow("11 64 00 05 5F") << hex("11 64 00 05 5F") << 0x11 << QStringList();
    QTest::newRow("11 64 00 05 5F 80 07")
        << hex("11 64 00 05 5F 80 07") << 0x11 << QStringList{"100/20/5 95/28/7"};
    QTest::newRow("51 64 00 05 5F 80 07 78 00 01 78 80 02")
        << hex("51 64 00 05 5F 80 07 78 00 01 78 80 02") << 0x11
        << QStringList{"100/20/5 95/28/7", "120/20/1 120/28/2"};
    QTest::newRow("11 64 00 05 5F 80 07 78 00 01 78 80")
        << hex("11 64 00 05 5F 80 07 78 00 01 78 80") << 0x11 << QStringList{"100/20/5 95/28/7"};
}

void tst_ControllerReplies::listenReplyEntries()
{
    QFETCH(QByteArray, body);
    QFETCH(int, opcode);
    QFETCH(QStringList, entries);

    const ExactBody exact(body);
    const ListenReply reply = ListenReply::decode(4, exact.bytes());
    QCOMPARE(int(reply.opcode), opcode);
    QCOMPARE(reply.card, 4);
    QStringList decoded;
    for (const ListenEntry &entry : reply.entries)
        decoded << describe(entry);
    QCOMPARE(decoded, entries);
}

void tst_ControllerReplies::continuityReplyEntries_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("entries"); // the whole entries, concatenated

    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("13") << hex("13") << QByteArray();
    QTest::newRow("13 01 02 03") << hex("13 01 02 03") << QByteArray();
    QTest::newRow("13 01 02 03 04") << hex("13 01 02 03 04") << hex("01 02 03 04");
    QTest::newRow("13 01 02 03 04 05 06") << hex("13 01 02 03 04 05 06") << hex("01 02 03 04");
    QTest::newRow("13 01 02 03 04 05 06 07 08")
        << hex("13 01 02 03 04 05 06 07 08") << hex("01 02 03 04 05 06 07 08");
}

void tst_ControllerReplies::continuityReplyEntries()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, entries);

    const ExactBody exact(body);
    const ContinuityReply reply = ContinuityReply::decode(1, exact.bytes());
    QCOMPARE(reply.card, 1);
    QByteArray decoded;
    for (const ContinuityEntry &entry : reply.entries)
        decoded += bytesOf(entry);
    QCOMPARE(decoded, entries);
}

// Every prefix of one long body, given to every decoder: missing bytes read
// as 0, partial entries are dropped, and (under AddressSanitizer) no decoder
// reads past the prefix.
void tst_ControllerReplies::everyPrefixReadsOnlyItsBytes_data()
{
    QTest::addColumn<QByteArray>("body");

    const QByteArray full = hex(longInfo) + hex("5F 80 07 01 02"); // 25 bytes
    QTest::newRow("empty") << QByteArray();
    for (int n = 1; n <= full.size(); ++n) {
        const QByteArray prefix = full.left(n);
        QTest::newRow(prefix.toHex(' ').toUpper().constData()) << prefix;
    }
}

void tst_ControllerReplies::everyPrefixReadsOnlyItsBytes()
{
    QFETCH(QByteArray, body);
    const int n = body.size();
    const ExactBody exact(body);
    const QByteArray &bytes = exact.bytes();

    const int infoSize = n > LineCardInfoReply::ShortFormSize ? qMax(n, 20)
                                                              : LineCardInfoReply::ShortFormSize;
    QCOMPARE(describe(LineCardInfoReply::decode(0, bytes)),
             describe(LineCardInfoReply::decode(0, padded(body, infoSize))));

    const FrameIntervalReply interval = FrameIntervalReply::decode(0, bytes);
    QCOMPARE(interval.error, n < 3);
    QCOMPARE(int(interval.value), n < 3 ? 0 : quint8(body[1]) + 255 * quint8(body[2]));

    const FlashVersionReply flash = FlashVersionReply::decode(0, bytes);
    const FlashVersionReply flashPadded = FlashVersionReply::decode(0, padded(body, 11));
    QCOMPARE(flash.secondVersionPresent, n > 7);
    QCOMPARE(bytesOf(flash.argumentBytes), bytesOf(flashPadded.argumentBytes));
    QCOMPARE(bytesOf(flash.firstVersion), bytesOf(flashPadded.firstVersion));
    if (flash.secondVersionPresent)
        QCOMPARE(bytesOf(flash.secondVersion), bytesOf(flashPadded.secondVersion));

    const ReflashActionReply reflash = ReflashActionReply::decode(0, bytes);
    const ReflashActionReply reflashPadded = ReflashActionReply::decode(0, padded(body, 4));
    QCOMPARE(reflash.byte1, reflashPadded.byte1);
    QCOMPARE(reflash.byte2, reflashPadded.byte2);
    QCOMPARE(reflash.byte3, reflashPadded.byte3);

    const QByteArray full = hex(longInfo) + hex("5F 80 07 01 02");
    const ListenReply listen = ListenReply::decode(0, bytes);
    const ListenReply listenFull = ListenReply::decode(0, full);
    QCOMPARE(listen.entries.size(), qMax(0, n - 1) / 6);
    for (int i = 0; i < listen.entries.size(); ++i)
        QCOMPARE(describe(listen.entries.at(i)), describe(listenFull.entries.at(i)));

    const ContinuityReply continuity = ContinuityReply::decode(0, bytes);
    const ContinuityReply continuityFull = ContinuityReply::decode(0, full);
    QCOMPARE(continuity.entries.size(), qMax(0, n - 1) / 4);
    for (int i = 0; i < continuity.entries.size(); ++i)
        QCOMPARE(bytesOf(continuity.entries.at(i)), bytesOf(continuityFull.entries.at(i)));
}

QTEST_APPLESS_MAIN(tst_ControllerReplies)
#include "tst_controllerreplies.moc"
