// The bootloader state machine against arbitrary replies, CONFUSED answers
// and time-outs, in every state. Input: an image-choice byte, then
// operations until the input ends: replies (raw, message, data, the sync
// request's answer), CONFUSED, time-outs, the two sequence starts, the
// single-command slots (refused while a sequence runs), new secret passwords
// and the event loop. A fresh BootLoader per input.
//
// Checked after every operation and on everything sent: the state is one
// that waits for a reply; a result ends the sequence and comes once; success
// only on a sync request's answer that confirms the last step's, with every
// page written; the mass erase and the erase of the information segment only
// on a sync request's answer as well; pages and segments sent are what the
// image and the segment hold; sync requests only while a sequence runs or
// waits for the link; a time-out sends at most one thing, and nothing once
// the allowed number of time-outs without an answer has passed.

#include "FuzzSupport.h"
#include "tests/support/TestBytes.h"

#include "bootloader/BootLoader.h"
#include "bootloader/BslExchange.h"
#include "bootloader/BslPacket.h"
#include "bootloader/InfoASegment.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <vector>

namespace {

QByteArray fixtureImage(int lines, const QByteArray &address, const QByteArray &minimumFlash,
                        const QByteArray &minimumSram, const QByteArray &deviceId)
{
    QByteArray text = "#:FIRMWARE_NAME=LQ770 Line Card\r\n"
                      "#:DEVICE_ID="
                      + deviceId
                      + "\r\n"
                        "#:PLATFORM_ID=04 03\r\n"
                        "#:MINIMUM_FLASH="
                      + minimumFlash
                      + "\r\n"
                        "#:MINIMUM_SRAM="
                      + minimumSram
                      + "\r\n"
                        "#:CRYPTO_IV=00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF\r\n"
                        "@"
                      + address + "\r\n";
    for (int line = 0; line < lines; ++line) {
        QByteArray bytes;
        for (int i = 0; i < 16; ++i)
            bytes.append(char((line * 16 + i) * 7 + 3));
        text += bytes.toHex(' ').toUpper() + "\r\n";
    }
    return text + "q\r\n";
}

const QByteArray paddedDeviceId = "25 53 ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ??  ";

QTemporaryDir *imageDir = nullptr;
QStringList imagePaths; // an empty path: no image loaded

void writeImages()
{
    imageDir = new QTemporaryDir();
    FUZZ_CHECK(imageDir->isValid());
    const QList<QByteArray> texts = {
        fixtureImage(5, "D000", "3000", "0200", paddedDeviceId), // pages of 64 and 16 bytes
        fixtureImage(3, "D000", "3000", "0200", paddedDeviceId), // one page
        fixtureImage(7, "FFC0", "FFFF", "FFFF", "25 zz ?? 53"),  // 16-bit wraps, odd pattern
        fixtureImage(0, "D000", "3000", "0200", paddedDeviceId), // empty payload
        fixtureImage(6, "E000", "1000", "0100", ""),             // empty device pattern
    };
    imagePaths << QString();
    for (int i = 0; i < texts.size(); ++i) {
        const QString path = imageDir->filePath(QStringLiteral("image%1.txt").arg(i));
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly)
                   && file.write(texts.at(i)) == texts.at(i).size());
        imagePaths << path;
    }
    imagePaths << QStringLiteral(":/firmware/LQ770_KRONE_LSAPLUS_S2_10PAIR.txt");
}

QByteArray reply(quint8 type, const QByteArray &data)
{
    return QByteArray::fromHex("02FFFF") + char(type) + data;
}

// Pages the installation writes: page 0, then every page of 16 bytes or more.
int pagesToWrite(const FirmwareImage &image)
{
    quint32 pages = 1;
    while (image.getPage(pages).size() >= BootLoader::MIN_PAGE_SIZE)
        ++pages;
    return int(pages);
}

bool waitsForReply(BootLoader::BslState state)
{
    return state != BootLoader::BLS_CAPACITY && state != BootLoader::BLS_DEFAULT_INFOA
           && state != BootLoader::BLS_FINISH_FAIL && state != BootLoader::BLS_FINISH_OK;
}

bool isSyncAnswer(const QByteArray &packet)
{
    const BslReply reply = BslReply::fromPacket(packet);
    return reply.isDataReply() && reply.data.size() == 4;
}

struct Run
{
    BootLoader *bl = nullptr;
    int sentInOp = 0;
    int resultsInOp = 0;
    bool lastResult = false;
    int silentTimeouts = 0; // time-outs in a row with nothing received
    qint64 lastPageSent = -1;
    QByteArray lastCommand;
    QByteArray lastDelivered; // the packet of the current operation, if any

    void onSync(const QByteArray &bytes)
    {
        ++sentInOp;
        FUZZ_CHECK(bytes == QByteArray(1, char(BSL_TX_BSL_VERSION)));
        FUZZ_CHECK(bl->busy());
    }

    void onSent(const QByteArray &bytes)
    {
        ++sentInOp;
        FUZZ_CHECK(!bytes.isEmpty());
        FUZZ_CHECK(bytes == bl->lastTxPacket());
        FUZZ_CHECK(quint8(bytes.at(0)) == bl->lastTxOpcode());
        // The command again, once its answer cannot come any more.
        const bool again = bytes == lastCommand;
        lastCommand = bytes;
        if (again)
            return;
        const quint8 opcode = quint8(bytes.at(0));
        // A destructive step only on the answer that confirmed the one it rests on.
        if ((opcode == BSL_MASS_ERASE && bl->state() == BootLoader::BLS_MASS_ERASE)
            || (opcode == BSL_ERASE_SEGMENT && bl->state() == BootLoader::BLS_ERASE_INFOA))
            FUZZ_CHECK(isSyncAnswer(lastDelivered));
        if (opcode == BSL_RX_APP_CODE) {
            const FirmwareImage &image = bl->firmware();
            const quint32 page = bl->pageIndex();
            const QByteArray data = bytes.mid(4);
            FUZZ_CHECK(bl->state() == BootLoader::BLS_APP_CODE);
            FUZZ_CHECK(data == image.getPage(page));
            FUZZ_CHECK(data.size() <= int(image.pageSize()));
            FUZZ_CHECK(page == 0 || data.size() >= BootLoader::MIN_PAGE_SIZE);
            const quint32 address = image.getPageAddress(page);
            FUZZ_CHECK(quint8(bytes.at(1)) == (address & 0xFF)
                       && quint8(bytes.at(2)) == ((address >> 8) & 0xFF) && bytes.at(3) == '\0');
            FUZZ_CHECK(qint64(page) == lastPageSent + 1 || page == 0);
            lastPageSent = page;
        } else if (opcode == BSL_RX_DATA_BLOCK) {
            const QByteArray segment = bytes.mid(4);
            FUZZ_CHECK(bytes.left(4) == QByteArray::fromHex("10C01000"));
            FUZZ_CHECK(segment.size() == InfoASegment::SEGMENT_SIZE);
            const quint16 stored = quint16(quint8(segment.at(0)) | (quint8(segment.at(1)) << 8));
            FUZZ_CHECK(quint16(stored + xorOfWords(segment)) == 0);
            FUZZ_CHECK(segment == bl->infoa().buildInfoA());
            if (bl->state() == BootLoader::BLS_WRITE_INFOA) {
                FUZZ_CHECK(bl->infoa().tags.contains(char(InfoASegment::TAG_IDENTITY)));
                FUZZ_CHECK(bl->infoa().serialNumber == quint32(bl->lineCardNumber()));
            }
        }
    }

    void onResult(bool ok)
    {
        ++resultsInOp;
        lastResult = ok;
    }
};

Run *run = nullptr;

const std::vector<std::function<void(BootLoader &, fuzz::Input &)>> singleCommands = {
    [](BootLoader &b, fuzz::Input &) { b.onReqGetBslVersion(); },
    [](BootLoader &b, fuzz::Input &) { b.onReqFastFrame(); },
    [](BootLoader &b, fuzz::Input &in) {
        const quint16 address = in.u16();
        b.onReqGetCRC(address, in.u16());
    },
    [](BootLoader &b, fuzz::Input &) { b.onReqGetPlatformId(); },
    [](BootLoader &b, fuzz::Input &) { b.onReqGetBufferSize(); },
    [](BootLoader &b, fuzz::Input &) { b.onReqMassErase(); },
    [](BootLoader &b, fuzz::Input &) { b.onReqApplicationCheck(); },
    [](BootLoader &b, fuzz::Input &) { b.onReqGetDeviceId(); },
    [](BootLoader &b, fuzz::Input &) { b.onReqSendDefaultPassword(); },
    [](BootLoader &b, fuzz::Input &) { b.onReqSendSecretPassword(); },
    [](BootLoader &b, fuzz::Input &) { b.onReqReadINFOA(); },
    [](BootLoader &b, fuzz::Input &) { b.onReqDefaultINFOA(); },
    [](BootLoader &b, fuzz::Input &) { b.onReqEraseINFOA(); },
    [](BootLoader &b, fuzz::Input &) { b.onReqWriteINFOA(); },
    [](BootLoader &b, fuzz::Input &) { b.onReqToggleLockINFOA(); },
    [](BootLoader &b, fuzz::Input &in) { b.onReqCapacityCheck(in.u16()); },
    [](BootLoader &b, fuzz::Input &in) {
        const quint16 address = in.u16();
        b.onReqBlankCheck(address, in.u16());
    },
    [](BootLoader &b, fuzz::Input &) { b.onReqPasswordInstall(); },
};

} // namespace

// Outside any namespace and outside extern "C", as the macro requires.
static void registerFirmwareResources()
{
    Q_INIT_RESOURCE(firmware);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::setUpQt();
    registerFirmwareResources();
    writeImages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    BootLoader bl;
    Run state;
    state.bl = &bl;
    run = &state;
    QObject::connect(&bl, &BootLoader::reqTxBytes,
                     [](const QByteArray &bytes) { run->onSent(bytes); });
    QObject::connect(&bl, &BootLoader::reqTxBytesWhenQuiet,
                     [](const QByteArray &bytes) { run->onSync(bytes); });
    QObject::connect(&bl, &BootLoader::notifyBootLoaderResult, [](bool ok) { run->onResult(ok); });
    QObject::connect(&bl, &BootLoader::notifyInstallProgress, [&bl](int done, int total) {
        FUZZ_CHECK(done >= 1 && done <= total);
        FUZZ_CHECK(quint32(done) == bl.pageIndex() + 1);
        FUZZ_CHECK(total == pagesToWrite(bl.firmware()));
    });

    const QString path = imagePaths.at(in.byte() % imagePaths.size());
    if (!path.isEmpty())
        FUZZ_CHECK(bl.loadFirmware(path));

    for (int ops = 0; ops < 4096 && !in.atEnd(); ++ops) {
        const BootLoader::BslState before = bl.state();
        const bool busyBefore = bl.busy();
        bool timeoutOp = false;
        state.sentInOp = 0;
        state.resultsInOp = 0;
        state.lastDelivered.clear();
        bool replyOp = false;

        const quint8 op = in.byte();
        const auto deliver = [&](const QByteArray &packet) {
            replyOp = true;
            state.lastDelivered = packet;
            bl.onRxPacket(packet);
        };
        switch (op % 13) {
        case 0:
            deliver(in.bytes(in.byte()));
            break;
        case 1:
            deliver(reply(BSL_MESSAGE_REPLY, QByteArray(1, char(in.byte()))));
            break;
        case 2:
            deliver(reply(BSL_DATA_REPLY, in.bytes(in.byte())));
            break;
        case 3:
            deliver(reply(BSL_MESSAGE_REPLY, QByteArray()));
            break;
        case 4:
            timeoutOp = true;
            bl.onTimeout();
            break;
        case 5:
            bl.onReqAppCodeInstall();
            break;
        case 6: {
            const quint16 low = in.u16();
            bl.onReqInitLineCard(int(quint32(low) | quint32(in.u16()) << 16));
            break;
        }
        case 7: {
            // Refused while a sequence runs: it would take its step's place.
            const QByteArray last = bl.lastTxPacket();
            singleCommands.at(in.byte() % singleCommands.size())(bl, in);
            if (busyBefore)
                FUZZ_CHECK(state.sentInOp == 0 && bl.lastTxPacket() == last);
            break;
        }
        case 8:
            bl.setSecretPassword(in.bytes(in.byte() % 20));
            break;
        case 9:
            QCoreApplication::processEvents();
            break;
        case 10:
            deliver(reply(BSL_DATA_REPLY, QByteArray::fromHex("E10203E4"))); // a sync's answer
            break;
        case 11:
            replyOp = true;
            bl.onConfused(QByteArray::fromHex("00FFFF"));
            break;
        default:
            deliver(reply(BSL_MESSAGE_REPLY, QByteArray(1, '\0')));
            break;
        }
        if (timeoutOp) {
            FUZZ_CHECK(state.sentInOp <= 1);
            ++state.silentTimeouts;
            // Every wait is bounded: after this many time-outs in a row with
            // nothing received, nothing more goes out.
            if (state.silentTimeouts > BslExchange::MAX_TIMEOUTS + BslExchange::MAX_RESENDS + 1)
                FUZZ_CHECK(state.sentInOp == 0);
        } else if (replyOp || state.sentInOp > 0) {
            state.silentTimeouts = 0;
        }

        FUZZ_CHECK(waitsForReply(bl.state()));
        FUZZ_CHECK(state.sentInOp <= 2);
        FUZZ_CHECK(state.resultsInOp <= 1);
        if (state.resultsInOp == 1) {
            FUZZ_CHECK(bl.state() == BootLoader::BLS_IDLE && !bl.busy());
            if (state.lastResult) {
                // Success only on the sync's answer that confirmed the last
                // step's, in a sequence that had reached it.
                FUZZ_CHECK(replyOp && isSyncAnswer(state.lastDelivered));
                FUZZ_CHECK(before == BootLoader::BLS_APP_CHECK
                           || before == BootLoader::BLS_RELOCK_INFOA);
                if (before == BootLoader::BLS_APP_CHECK)
                    FUZZ_CHECK(state.lastPageSent == pagesToWrite(bl.firmware()) - 1);
            }
        }
    }
    run = nullptr;
    return 0;
}
