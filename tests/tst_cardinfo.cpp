#include "controller/CardInfo.h"
#include "tests/support/TestBytes.h"

#include <QtTest>

static ListenReply listenReply(const QByteArray &entries)
{
    return ListenReply::decode(0, hex("11") + entries);
}

static ContinuityReply continuityReply(const QByteArray &entries)
{
    return ContinuityReply::decode(0, hex("13") + entries);
}

// Information reply for a block of 10 pairs; pair byte 0x8A makes it four-wire.
static LineCardInfoReply infoReply(const char *pairByte)
{
    return LineCardInfoReply::decode(0, hex("04 E6 04 11 22 33 44") + hex(pairByte)
                                            + hex("A1 A2 A3 A4 78 56 34 12 EF CD AB 89"));
}

static const char activeEntry[] = "64 00 05 5F 80 07";
static const char idleEntry[] = "FF FF 00 FF FF 00";

class tst_CardInfo : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void applyInfoCopiesIdentity();
    void readingText_data();
    void readingText();
    void listenRunningCounters_data();
    void listenRunningCounters();
    void continuityRunningCounters_data();
    void continuityRunningCounters();
    void resetCountersKeepsReadings();
    void listsFollowEntryCount();
    void fourWireAlternatesSets_data();
    void fourWireAlternatesSets();
    void activity_data();
    void activity();
    void presence_data();
    void presence();
    void fourWireCardIsNeverRemoved();

private:
    CardInfo m_card;
};

void tst_CardInfo::init()
{
    m_card = CardInfo();
}

void tst_CardInfo::applyInfoCopiesIdentity()
{
    m_card.confused = true;
    m_card.applyListen(listenReply(hex(activeEntry)));
    QVERIFY(m_card.cardInserted());

    m_card.applyInfo(infoReply("8A"));
    QCOMPARE(m_card.serialNumber, quint32(0x12345678));
    QCOMPARE(m_card.extraWord, quint32(0x89ABCDEF));
    QCOMPARE(int(m_card.infoArgument), 1250);
    QCOMPARE(int(m_card.productId), 0x11);
    QCOMPARE(int(m_card.platformId), 0x22);
    QCOMPARE(int(m_card.blockManufacturer), 0x33);
    QCOMPARE(int(m_card.blockType), 0x44);
    QCOMPARE(int(m_card.blockPairCount), 10);
    QCOMPARE(int(m_card.wiresPerPair), 4);
    QCOMPARE(m_card.infoBytes, (std::array<quint8, 4>{{0xA1, 0xA2, 0xA3, 0xA4}}));
    // Nothing but the identity changes.
    QVERIFY(m_card.confused);
    QCOMPARE(m_card.presence, int(CardInfo::PresencePresent));
    QCOMPARE(m_card.readingsFirst.size(), 1);
    QCOMPARE(m_card.readingsFirst.at(0).text, QStringLiteral("A100:B95"));

    // A short-form reply carries no productId or platformId.
    m_card.applyInfo(
        LineCardInfoReply::decode(0, hex("04 FF FF 35 46 14 00 00 00 00 01 00 00 00 00 00 00 00")));
    QCOMPARE(int(m_card.productId), 0);
    QCOMPARE(int(m_card.platformId), 0);
    QCOMPARE(int(m_card.blockManufacturer), 0x35);
    QCOMPARE(int(m_card.blockPairCount), 20);
    QCOMPARE(int(m_card.wiresPerPair), 2);
    QCOMPARE(m_card.serialNumber, quint32(1));
}

void tst_CardInfo::readingText_data()
{
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<QString>("text");

    QTest::newRow("64 00 05 5F 80 07") << hex("64 00 05 5F 80 07") << "A100:B95";
    QTest::newRow("78 00 00 78 80 00") << hex("78 00 00 78 80 00") << "120";
    QTest::newRow("FF FF 00 5F 80 00") << hex("FF FF 00 5F 80 00") << "?:B95";
    QTest::newRow("64 00 00 FF 7F 00") << hex("64 00 00 FF 7F 00") << "A100:?";
    QTest::newRow("FF 7F 00 FF FF 00") << hex("FF 7F 00 FF FF 00") << "?:?";
    // Equal values, but a reading carries the other channel's label.
    QTest::newRow("78 00 00 78 00 00") << hex("78 00 00 78 00 00") << "A120:A120";
    QTest::newRow("78 80 00 78 80 00") << hex("78 80 00 78 80 00") << "B120:B120";
    // Flags outside 0x07 do not prevent the single number.
    QTest::newRow("00 40 85 00 C0 86") << hex("00 40 85 00 C0 86") << "0";
}

void tst_CardInfo::readingText()
{
    QFETCH(QByteArray, entry);
    QFETCH(QString, text);

    m_card.applyListen(listenReply(entry));
    QCOMPARE(m_card.readingsFirst.size(), 1);
    const PairReading &reading = m_card.readingsFirst.at(0);
    QCOMPARE(reading.text, text);
    const ListenEntry decoded = ListenEntry::decode(entry);
    QCOMPARE(int(reading.valueA), int(decoded.valueA));
    QCOMPARE(int(reading.valueB), int(decoded.valueB));
    QCOMPARE(reading.flagsA, decoded.flagsA);
    QCOMPARE(reading.flagsB, decoded.flagsB);
}

void tst_CardInfo::listenRunningCounters_data()
{
    QTest::addColumn<QByteArray>("countersA"); // counter byte of each listen
    QTest::addColumn<QByteArray>("countersB");
    QTest::addColumn<QList<int>>("totalsA"); // running total after each listen
    QTest::addColumn<QList<int>>("totalsB");

    QTest::newRow("78 03 0A / 00 7F 00") << hex("78 03 0A") << hex("00 7F 00")
                                         << QList<int>{120, 131, 138} << QList<int>{0, 127, 128};
    QTest::newRow("F8 83 8A / 80 FF 80") << hex("F8 83 8A") << hex("80 FF 80")
                                         << QList<int>{120, 131, 138} << QList<int>{0, 127, 128};
    QTest::newRow("05 05 06 / 10 10 0F")
        << hex("05 05 06") << hex("10 10 0F") << QList<int>{5, 5, 6} << QList<int>{16, 16, 143};
}

void tst_CardInfo::listenRunningCounters()
{
    QFETCH(QByteArray, countersA);
    QFETCH(QByteArray, countersB);
    QFETCH(QList<int>, totalsA);
    QFETCH(QList<int>, totalsB);

    QList<int> seenA, seenB;
    for (int i = 0; i < countersA.size(); ++i) {
        QByteArray entry = hex(activeEntry);
        entry[2] = countersA[i];
        entry[5] = countersB[i];
        m_card.applyListen(listenReply(entry));
        seenA << m_card.readingsFirst.at(0).countA;
        seenB << m_card.readingsFirst.at(0).countB;
    }
    QCOMPARE(seenA, totalsA);
    QCOMPARE(seenB, totalsB);
}

void tst_CardInfo::continuityRunningCounters_data()
{
    QTest::addColumn<QList<QByteArray>>("entries"); // one entry per reply
    QTest::addColumn<QList<int>>("totals");

    QTest::newRow("01 02 03 04") << QList<QByteArray>{hex("01 02 03 04")} << QList<int>{1, 2, 3, 4};
    QTest::newRow("FA 00 10 FF, 04 00 10 00")
        << QList<QByteArray>{hex("FA 00 10 FF"), hex("04 00 10 00")} << QList<int>{260, 0, 16, 256};
    QTest::newRow("10 20 30 40, 0F 20 30 40")
        << QList<QByteArray>{hex("10 20 30 40"), hex("0F 20 30 40")} << QList<int>{271, 32, 48, 64};
    QTest::newRow("00 00 00 00, FF FF FF FF, 01 01 01 01")
        << QList<QByteArray>{hex("00 00 00 00"), hex("FF FF FF FF"), hex("01 01 01 01")}
        << QList<int>{257, 257, 257, 257};
}

void tst_CardInfo::continuityRunningCounters()
{
    QFETCH(QList<QByteArray>, entries);
    QFETCH(QList<int>, totals);

    for (const QByteArray &entry : entries)
        m_card.applyContinuity(continuityReply(entry));
    QCOMPARE(m_card.continuityFirst.size(), 1);
    const ContinuityCounters &counters = m_card.continuityFirst.at(0);
    QCOMPARE(QList<int>(counters.count.cbegin(), counters.count.cend()), totals);
    QCOMPARE(counters.last[0], quint8(entries.last().at(0)));
}

void tst_CardInfo::resetCountersKeepsReadings()
{
    m_card.applyListen(listenReply(hex("64 00 0A 5F 80 14")));
    m_card.applyListen(listenReply(hex("64 00 0F 5F 80 19")));
    m_card.applyContinuity(continuityReply(hex("01 02 03 04")));
    m_card.applyContinuity(continuityReply(hex("05 06 07 08")));
    QCOMPARE(m_card.readingsFirst.at(0).countA, 15);
    QCOMPARE(m_card.continuityFirst.at(0).count[0], 5);

    m_card.resetCounters();
    const PairReading &reading = m_card.readingsFirst.at(0);
    QCOMPARE(reading.countA, -1);
    QCOMPARE(reading.countB, -1);
    QCOMPARE(int(reading.lastA), 0);
    QCOMPARE(int(reading.lastB), 0);
    QCOMPARE(reading.text, QStringLiteral("A100:B95"));
    QCOMPARE(int(reading.valueA), 100);
    QCOMPARE(int(reading.flagsB), 0x28);
    const ContinuityCounters &counters = m_card.continuityFirst.at(0);
    QCOMPARE(counters.count, (std::array<int, 4>{{-1, -1, -1, -1}}));
    QCOMPARE(counters.last, (std::array<quint8, 4>{}));

    // Totals start again from the next reply's counter bytes.
    m_card.applyListen(listenReply(hex("64 00 03 5F 80 04")));
    m_card.applyContinuity(continuityReply(hex("02 00 00 00")));
    QCOMPARE(m_card.readingsFirst.at(0).countA, 3);
    QCOMPARE(m_card.readingsFirst.at(0).countB, 4);
    QCOMPARE(m_card.continuityFirst.at(0).count[0], 2);
}

void tst_CardInfo::listsFollowEntryCount()
{
    const QByteArray one = hex("64 00 05 5F 80 07");
    m_card.applyListen(listenReply(one + one + one));
    m_card.applyListen(listenReply(one + one + hex("64 00 06 5F 80 07")));
    QCOMPARE(m_card.readingsFirst.size(), 3);
    QCOMPARE(m_card.readingsSecond.size(), 0);
    QCOMPARE(m_card.readingsFirst.at(2).countA, 6); // same size: records kept

    m_card.applyListen(listenReply(hex("64 00 06 5F 80 07") + one));
    QCOMPARE(m_card.readingsFirst.size(), 2);
    QCOMPARE(m_card.readingsFirst.at(0).countA, 6); // new size: fresh records

    m_card.applyListen(listenReply(QByteArray()));
    QCOMPARE(m_card.readingsFirst.size(), 0);
}

void tst_CardInfo::fourWireAlternatesSets_data()
{
    QTest::addColumn<int>("entryCount");
    QTest::addColumn<int>("pairs");

    QTest::newRow("20 entries") << 20 << 10;
    QTest::newRow("21 entries") << 21 << 10;
    QTest::newRow("1 entry") << 1 << 0;
}

void tst_CardInfo::fourWireAlternatesSets()
{
    QFETCH(int, entryCount);
    QFETCH(int, pairs);

    m_card.applyInfo(infoReply("8A"));
    QVERIFY(m_card.isFourWire());

    // Entry i reads i on its first reading and has counter bytes i.
    QByteArray listenEntries, continuityEntries;
    for (int i = 0; i < entryCount; ++i) {
        listenEntries += QByteArray(1, char(i)) + hex("00") + QByteArray(1, char(i))
                         + hex("5F 80 00");
        continuityEntries += QByteArray(4, char(i));
    }
    m_card.applyListen(listenReply(listenEntries));
    m_card.applyContinuity(continuityReply(continuityEntries));

    QCOMPARE(m_card.readingsFirst.size(), pairs);
    QCOMPARE(m_card.readingsSecond.size(), pairs);
    QCOMPARE(m_card.continuityFirst.size(), pairs);
    QCOMPARE(m_card.continuitySecond.size(), pairs);
    for (int p = 0; p < pairs; ++p) {
        QCOMPARE(int(m_card.readingsFirst.at(p).valueA), 2 * p);
        QCOMPARE(int(m_card.readingsSecond.at(p).valueA), 2 * p + 1);
        QCOMPARE(m_card.readingsSecond.at(p).countA, 2 * p + 1);
        QCOMPARE(m_card.continuityFirst.at(p).count[3], 2 * p);
        QCOMPARE(m_card.continuitySecond.at(p).count[3], 2 * p + 1);
    }
}

void tst_CardInfo::activity_data()
{
    QTest::addColumn<QByteArray>("entries");
    QTest::addColumn<bool>("active");

    QTest::newRow("64 00 05 5F 80 07") << hex("64 00 05 5F 80 07") << true;
    QTest::newRow("FF FF 00 5F 80 00") << hex("FF FF 00 5F 80 00") << true;
    QTest::newRow("FF 7F 00 FF 7F 00") << hex("FF 7F 00 FF 7F 00") << true;
    QTest::newRow("FF FF 00 FF FF 00") << hex("FF FF 00 FF FF 00") << false;
    QTest::newRow("FF FF 80 FF FF 80") << hex("FF FF 80 FF FF 80") << false;
    QTest::newRow("FF FF 00 FF FF 00 FF FF 00 00 00 00")
        << hex("FF FF 00 FF FF 00 FF FF 00 00 00 00") << true;
    QTest::newRow("no entries") << QByteArray() << false;
}

void tst_CardInfo::activity()
{
    QFETCH(QByteArray, entries);
    QFETCH(bool, active);

    m_card.idleListens = 2;
    m_card.applyListen(listenReply(entries));
    QCOMPARE(m_card.active, active);
    QCOMPARE(m_card.idleListens, active ? 0 : 3);
}

void tst_CardInfo::presence_data()
{
    QTest::addColumn<QString>("listens"); // A: an active reply, I: an idle one
    QTest::addColumn<QString>("events");  // I: inserted, R: removed, -: neither

    QTest::newRow("A") << "A"
                       << "I";
    QTest::newRow("A A") << "AA"
                         << "I-";
    QTest::newRow("I I I I A") << "IIIIA"
                               << "----I";
    QTest::newRow("A I I I A") << "AIIIA"
                               << "I--RI";
    QTest::newRow("A I I A I I") << "AIIAII"
                                 << "I-----";
    QTest::newRow("A I I I I I A") << "AIIIIIA"
                                   << "I--R--I";
}

void tst_CardInfo::presence()
{
    QFETCH(QString, listens);
    QFETCH(QString, events);

    QString seen;
    for (QChar kind : listens) {
        m_card.applyListen(listenReply(hex(kind == QLatin1Char('A') ? activeEntry : idleEntry)));
        if (m_card.cardRemoved())
            seen += QLatin1Char('R');
        else if (m_card.cardInserted())
            seen += QLatin1Char('I');
        else
            seen += QLatin1Char('-');
    }
    QCOMPARE(seen, events);
}

void tst_CardInfo::fourWireCardIsNeverRemoved()
{
    m_card.applyInfo(infoReply("8A"));
    const QByteArray idlePair = hex(idleEntry) + hex(idleEntry);

    m_card.applyListen(listenReply(idlePair));
    QVERIFY(!m_card.cardRemoved());
    QVERIFY(m_card.cardInserted());
    for (int i = 0; i < 4; ++i) {
        m_card.applyListen(listenReply(idlePair));
        QVERIFY(m_card.active);
        QCOMPARE(m_card.idleListens, 0);
        QVERIFY(!m_card.cardRemoved());
        QVERIFY(!m_card.cardInserted());
    }
    QCOMPARE(m_card.presence, int(CardInfo::PresencePresent));
}

QTEST_APPLESS_MAIN(tst_CardInfo)
#include "tst_cardinfo.moc"
