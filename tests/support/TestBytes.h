#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

// Bytes for test fixtures, written here on their own rather than with the
// code under test.

// "02 FF 3B" or "02FF3B": blanks are passed over.
QByteArray hex(const char *text);
QByteArray le16(quint16 value);
QByteArray le32(quint32 value);

// One record of an information segment: tag, body length, body.
QByteArray infoRecord(quint8 tag, const QByteArray &body);
// The XOR of the segment's little-endian words from offset 2 (a last odd
// byte as a word's low byte).
quint16 xorOfWords(const QByteArray &segment);
// The checksum in the segment's first word makes the XOR of all words zero.
bool segmentChecksumHolds(const QByteArray &segment);
// A program's text output with LF line ends: a Windows program ends its
// lines with CR LF; a lone CR stays, as it rewrites a line in place.
QByteArray textOfProgram(QByteArray output);
// A 64-byte segment of these records, erased (0xFF) behind them, with its
// checksum.
QByteArray segmentOf(const QList<QByteArray> &records);
