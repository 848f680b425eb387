#include "usb/VendorD2xx.h"
#include "usb/ftd2xxRaw.h"

#include <QtTest>

#include <functional>

using LibraryCall = std::function<FT_STATUS(D2xxApi &, FT_HANDLE)>;
Q_DECLARE_METATYPE(LibraryCall)

namespace {

const QString fakePath = QStringLiteral(FAKE_FTD2XX_PATH);
const QString incompletePath = QStringLiteral(FAKE_FTD2XX_INCOMPLETE_PATH);

// The call log of a fake library, read through the fake's own exports. The
// library loaded here is the very one the backend loads from the same file.
class FakeLog
{
public:
    explicit FakeLog(const QString &path) : library(path)
    {
        if (library.load()) {
            text = reinterpret_cast<const char *(*)()>(library.resolve("fake_ftd2xx_log"));
            clearLog = reinterpret_cast<void (*)()>(library.resolve("fake_ftd2xx_clear_log"));
        }
        if (clearLog)
            clearLog();
    }
    bool usable() const { return text && clearLog; }
    void clear() { clearLog(); }
    QByteArrayList lines() const
    {
        QByteArrayList out = QByteArray(text()).split('\n');
        out.removeAll(QByteArray());
        return out;
    }

private:
    QLibrary library;
    const char *(*text)() = nullptr;
    void (*clearLog)() = nullptr;
};

} // namespace

class tst_VendorD2xx : public QObject
{
    Q_OBJECT

private slots:
    void everyCallArrives_data();
    void everyCallArrives();
    void outputsComeBack();
    void deviceListCrossesInTheLibraryLayout();
    void openPassesIndexAndHandle();
    void refusedLibraryListsNoDevice_data();
    void refusedLibraryListsNoDevice();
    void candidatesTriedInOrder();
    void defaultNamesGoThroughTheLibrarySearch();
    void deviceAccessRunsThroughTheLibrary();
    void openDevicesClosedAtTheEnd();
};

void tst_VendorD2xx::everyCallArrives_data()
{
    QTest::addColumn<LibraryCall>("call");
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("FT_Close") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        return api.FT_Close(h);
    }) << QByteArray("FT_Close h");
    QTest::newRow("FT_SetBaudRate, above 16 bits")
        << LibraryCall([](D2xxApi &api, FT_HANDLE h) { return api.FT_SetBaudRate(h, 921600); })
        << QByteArray("FT_SetBaudRate h 921600");
    QTest::newRow("FT_SetDataCharacteristics") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        return api.FT_SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_2, FT_PARITY_NONE);
    }) << QByteArray("FT_SetDataCharacteristics h 8 2 0");
    QTest::newRow("FT_SetChars") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        return api.FT_SetChars(h, 0x7E, 1, 0xFF, 0);
    }) << QByteArray("FT_SetChars h 0x7e 1 0xff 0");
    QTest::newRow("FT_SetFlowControl") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        return api.FT_SetFlowControl(h, 0x0400, 0x11, 0x13);
    }) << QByteArray("FT_SetFlowControl h 0x0400 0x11 0x13");
    QTest::newRow("FT_SetTimeouts")
        << LibraryCall([](D2xxApi &api, FT_HANDLE h) { return api.FT_SetTimeouts(h, 70000, 20); })
        << QByteArray("FT_SetTimeouts h 70000 20");
    QTest::newRow("FT_SetRts") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        return api.FT_SetRts(h);
    }) << QByteArray("FT_SetRts h");
    QTest::newRow("FT_ClrRts") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        return api.FT_ClrRts(h);
    }) << QByteArray("FT_ClrRts h");
    QTest::newRow("FT_SetBreakOn")
        << LibraryCall([](D2xxApi &api, FT_HANDLE h) { return api.FT_SetBreakOn(h); })
        << QByteArray("FT_SetBreakOn h");
    QTest::newRow("FT_SetBreakOff")
        << LibraryCall([](D2xxApi &api, FT_HANDLE h) { return api.FT_SetBreakOff(h); })
        << QByteArray("FT_SetBreakOff h");
    QTest::newRow("FT_SetBitMode") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        return api.FT_SetBitMode(h, 0x32, FT_BITMODE_CBUS_BITBANG);
    }) << QByteArray("FT_SetBitMode h 0x32 0x20");
    QTest::newRow("FT_Write") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        unsigned char bytes[] = {0x55, 0x00, 0xFF};
        uint32_t written = 0;
        return api.FT_Write(h, bytes, 3, &written);
    }) << QByteArray("FT_Write h 3 55 00 ff");
    QTest::newRow("FT_GetStatus") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        uint32_t rx, tx, event;
        return api.FT_GetStatus(h, &rx, &tx, &event);
    }) << QByteArray("FT_GetStatus h");
    QTest::newRow("FT_Read") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        char buffer[10];
        uint32_t got = 0;
        return api.FT_Read(h, buffer, 10, &got);
    }) << QByteArray("FT_Read h 10");
    QTest::newRow("FT_Purge") << LibraryCall([](D2xxApi &api, FT_HANDLE h) {
        return api.FT_Purge(h, FT_PURGE_RX);
    }) << QByteArray("FT_Purge h 1");
}

void tst_VendorD2xx::everyCallArrives()
{
    QFETCH(LibraryCall, call);
    QFETCH(QByteArray, line);

    FakeLog log(fakePath);
    QVERIFY(log.usable());
    VendorD2xx vendor({fakePath});
    QVERIFY2(vendor.isLoaded(), qPrintable(vendor.loadError()));
    FT_HANDLE handle = nullptr;
    QCOMPARE(vendor.FT_Open(0, &handle), FT_STATUS(FT_OK));
    log.clear();

    QCOMPARE(call(vendor, handle), FT_STATUS(FT_OK));
    QCOMPARE(log.lines(), QByteArrayList{line});
}

void tst_VendorD2xx::outputsComeBack()
{
    VendorD2xx vendor({fakePath});
    FT_HANDLE handle = nullptr;
    QCOMPARE(vendor.FT_Open(0, &handle), FT_STATUS(FT_OK));

    unsigned char bytes[] = {1, 2, 3, 4};
    uint32_t written = 0;
    QCOMPARE(vendor.FT_Write(handle, bytes, 4, &written), FT_STATUS(FT_OK));
    QCOMPARE(written, 4u);

    uint32_t rx = 0, tx = 0, event = 0;
    QCOMPARE(vendor.FT_GetStatus(handle, &rx, &tx, &event), FT_STATUS(FT_OK));
    QCOMPARE(rx, 70000u);
    QCOMPARE(tx, 3u);
    QCOMPARE(event, 1u);

    char buffer[16] = {};
    uint32_t got = 0;
    QCOMPARE(vendor.FT_Read(handle, buffer, 3, &got), FT_STATUS(FT_OK));
    QCOMPARE(QByteArray(buffer, int(got)), QByteArray::fromHex("010200"));
    QCOMPARE(vendor.FT_Read(handle, buffer, sizeof buffer, &got), FT_STATUS(FT_OK));
    QCOMPARE(QByteArray(buffer, int(got)), QByteArray::fromHex("010200feff"));
}

void tst_VendorD2xx::deviceListCrossesInTheLibraryLayout()
{
    FakeLog log(fakePath);
    VendorD2xx vendor({fakePath});
    uint32_t count = 0;
    QCOMPARE(vendor.FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
    QCOMPARE(count, 2u);

    std::vector<FT_DEVICE_LIST_INFO_NODE> records(count);
    QCOMPARE(vendor.FT_GetDeviceInfoList(records.data(), &count), FT_STATUS(FT_OK));
    QCOMPARE(count, 2u);
    QCOMPARE(log.lines(), QByteArrayList({"FT_CreateDeviceInfoList", "FT_GetDeviceInfoList"}));

    // The second record starts where the library's record size puts it.
    const FT_DEVICE_LIST_INFO_NODE &first = records[0], &second = records[1];
    QCOMPARE(first.Flags, 1u);
    QCOMPARE(first.Type, 5u);
    QCOMPARE(first.ID, 0x04036001u);
    QCOMPARE(first.LocId, 0x0112u);
    QCOMPARE(QByteArray(first.SerialNumber), QByteArray("FT9XK2QA"));
    QCOMPARE(QByteArray(first.Description), QByteArray("VX420 Controller"));
    QVERIFY(first.ftHandle != nullptr);
    QCOMPARE(second.Flags, 0u);
    QCOMPARE(second.Type, 9u);
    QCOMPARE(second.ID, 0x04036015u);
    QCOMPARE(second.LocId, 0x0213u);
    QCOMPARE(QByteArray(second.SerialNumber), QByteArray("DQ00AB12"));
    QCOMPARE(QByteArray(second.Description), QByteArray("FT230X Basic UART"));
    QCOMPARE(second.ftHandle, nullptr);

    FT_HANDLE opened = nullptr;
    QCOMPARE(vendor.FT_Open(0, &opened), FT_STATUS(FT_OK));
    QCOMPARE(first.ftHandle, opened);
}

void tst_VendorD2xx::openPassesIndexAndHandle()
{
    FakeLog log(fakePath);
    VendorD2xx vendor({fakePath});

    FT_HANDLE handle = reinterpret_cast<FT_HANDLE>(quintptr(1));
    QCOMPARE(vendor.FT_Open(1, &handle), FT_STATUS(FT_DEVICE_NOT_FOUND));
    QCOMPARE(handle, nullptr);
    QCOMPARE(vendor.FT_Open(0, &handle), FT_STATUS(FT_OK));
    QVERIFY(handle != nullptr);

    // The library gets the handle it issued, all of its bits, and its
    // statuses come back.
    int other = 0;
    QCOMPARE(vendor.FT_SetRts(handle), FT_STATUS(FT_OK));
    QCOMPARE(vendor.FT_SetRts(&other), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(log.lines(),
             QByteArrayList({"FT_Open 1", "FT_Open 0", "FT_SetRts h", "FT_SetRts bad-handle"}));
}

void tst_VendorD2xx::refusedLibraryListsNoDevice_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("reason");

    QTest::newRow("no such file") << QStringList{QStringLiteral("/nonexistent/libftd2xx.so")}
                                  << QString();
    QTest::newRow("lacks FT_Purge") << QStringList{incompletePath} << QStringLiteral("FT_Purge");
    QTest::newRow("no candidate") << QStringList() << QString();
}

void tst_VendorD2xx::refusedLibraryListsNoDevice()
{
    QFETCH(QStringList, names);
    QFETCH(QString, reason);

    FakeLog incompleteLog(incompletePath);
    QVERIFY(incompleteLog.usable());
    VendorD2xx vendor(names);
    QVERIFY(!vendor.isLoaded());
    QVERIFY(vendor.libraryMissing());
    QVERIFY(vendor.libraryFile().isEmpty());
    QVERIFY(!vendor.loadError().isEmpty());
    QVERIFY2(vendor.loadError().contains(reason), qPrintable(vendor.loadError()));

    uint32_t count = 99;
    QCOMPARE(vendor.FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
    QCOMPARE(count, 0u);
    count = 99;
    QCOMPARE(vendor.FT_GetDeviceInfoList(nullptr, &count), FT_STATUS(FT_OK));
    QCOMPARE(count, 0u);
    FT_HANDLE handle = reinterpret_cast<FT_HANDLE>(quintptr(1));
    QVERIFY(vendor.FT_Open(0, &handle) != FT_OK);
    QCOMPARE(handle, nullptr);
    QVERIFY(vendor.FT_SetBitMode(handle, 0x22, FT_BITMODE_CBUS_BITBANG) != FT_OK);
    uint32_t rx = 5, tx = 5, event = 5;
    QVERIFY(vendor.FT_GetStatus(handle, &rx, &tx, &event) != FT_OK);
    QCOMPARE(rx, 0u);
    char byte = 0;
    uint32_t moved = 5;
    QVERIFY(vendor.FT_Write(handle, &byte, 1, &moved) != FT_OK);
    QCOMPARE(moved, 0u);
    moved = 5;
    QVERIFY(vendor.FT_Read(handle, &byte, 1, &moved) != FT_OK);
    QCOMPARE(moved, 0u);

    // A library refused for a missing function is never called.
    QCOMPARE(incompleteLog.lines(), QByteArrayList());
}

void tst_VendorD2xx::candidatesTriedInOrder()
{
    FakeLog log(fakePath);
    VendorD2xx vendor({QStringLiteral("/nonexistent/libftd2xx.so"), incompletePath, fakePath});
    QVERIFY(vendor.isLoaded());
    QVERIFY(!vendor.libraryMissing());
    QVERIFY(vendor.loadError().isEmpty());
    QCOMPARE(QFileInfo(vendor.libraryFile()).canonicalFilePath(),
             QFileInfo(fakePath).canonicalFilePath());
    uint32_t count = 0;
    QCOMPARE(vendor.FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
    QCOMPARE(log.lines(), QByteArrayList{"FT_CreateDeviceInfoList"});
}

void tst_VendorD2xx::defaultNamesGoThroughTheLibrarySearch()
{
#ifdef Q_OS_LINUX
    // CTest puts the fake, named as the vendor's library, on the search path.
    const QString fakeDir = QFileInfo(fakePath).absolutePath();
    if (!qEnvironmentVariable("LD_LIBRARY_PATH").split(QLatin1Char(':')).contains(fakeDir))
        QSKIP("the fake library is not on LD_LIBRARY_PATH");
    FakeLog log(fakePath);
    VendorD2xx vendor;
    QVERIFY2(vendor.isLoaded(), qPrintable(vendor.loadError()));
    uint32_t count = 0;
    QCOMPARE(vendor.FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
    QCOMPARE(log.lines(), QByteArrayList{"FT_CreateDeviceInfoList"});
#elif defined(Q_OS_WIN)
    // CTest puts the fake, built as ftd2xx.dll, on the DLL search path (PATH);
    // ftd2xx64.dll, tried first, is found nowhere unless the chip maker's
    // driver is installed.
    const QString fakeDir = QFileInfo(fakePath).canonicalPath();
    bool onPath = false;
    for (const QString &folder : qEnvironmentVariable("PATH").split(QLatin1Char(';')))
        onPath = onPath
                 || QFileInfo(folder).canonicalFilePath().compare(fakeDir, Qt::CaseInsensitive)
                        == 0;
    if (!onPath)
        QSKIP("the fake library's folder is not on PATH");
    QLibrary installed(QStringLiteral("ftd2xx64.dll"));
    if (installed.load())
        QSKIP("the chip maker's ftd2xx64.dll is installed, and it comes first");
    FakeLog log(fakePath);
    VendorD2xx vendor;
    QVERIFY2(vendor.isLoaded(), qPrintable(vendor.loadError()));
    QCOMPARE(QFileInfo(vendor.libraryFile()).fileName().toLower(), QStringLiteral("ftd2xx.dll"));
    uint32_t count = 0;
    QCOMPARE(vendor.FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
    QCOMPARE(log.lines(), QByteArrayList{"FT_CreateDeviceInfoList"});
#else
    QSKIP("the search path is set for Linux and Windows only");
#endif
}

void tst_VendorD2xx::deviceAccessRunsThroughTheLibrary()
{
    FakeLog log(fakePath);
    ftd2xxRaw raw(std::make_shared<VendorD2xx>(QStringList{fakePath}));
    QVERIFY(raw.getDeviceList());
    QCOMPARE(raw.listedDevices(), 2);
    QCOMPARE(raw.listedDescription(0), QByteArray("VX420 Controller"));
    QVERIFY(raw.openDevice(0));
    QVERIFY(raw.configureLine());
    QCOMPARE(raw.status(), FT_STATUS(FT_OK));
    QCOMPARE(log.lines(), QByteArrayList({
                              "FT_CreateDeviceInfoList",
                              "FT_GetDeviceInfoList",
                              "FT_Open 0",
                              "FT_SetBitMode h 0x22 0x20",
                              "FT_SetBitMode h 0x32 0x20",
                              "FT_SetBaudRate h 9600",
                              "FT_SetDataCharacteristics h 8 2 0",
                              "FT_SetChars h 0x00 1 0xff 0",
                              "FT_SetFlowControl h 0x0000 0x11 0x13",
                              "FT_SetTimeouts h 20 20",
                              "FT_SetRts h",
                              "FT_ClrRts h",
                              "FT_SetChars h 0x00 1 0x00 0",
                          }));
}

// The library runs threads for an open device until FT_Close.
void tst_VendorD2xx::openDevicesClosedAtTheEnd()
{
    FakeLog log(fakePath);
    {
        VendorD2xx vendor({fakePath});
        FT_HANDLE handle = nullptr;
        QCOMPARE(vendor.FT_Open(0, &handle), FT_STATUS(FT_OK));
        log.clear();
    }
    QCOMPARE(log.lines(), QByteArrayList{"FT_Close h"});

    // One the program closed is not closed again.
    {
        VendorD2xx vendor({fakePath});
        FT_HANDLE handle = nullptr;
        QCOMPARE(vendor.FT_Open(0, &handle), FT_STATUS(FT_OK));
        QCOMPARE(vendor.FT_Close(handle), FT_STATUS(FT_OK));
        log.clear();
    }
    QCOMPARE(log.lines(), QByteArrayList());
}

QTEST_GUILESS_MAIN(tst_VendorD2xx)
#include "tst_vendord2xx.moc"
