// Scrambled firmware files (.lod): Intel HEX text XOR-ed byte by byte with a repeating key, and
// the rule that tells them from plain HEX files.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>

// The key of every .lod file, applied from its first character at the file's first byte.
constexpr char kLodKey[] = "Kq7Wd2Lp9";

// XORs n bytes in place with the repeating key, going on at key position keyPos (updated), so a
// file can be coded in pieces. Coding and decoding are the same operation. An empty key leaves
// the bytes as they are.
void XorLodBytes(char* data, size_t n, const char* key, size_t keyLen, size_t& keyPos);

// The whole of data coded with key from its first byte.
QByteArray XorLod(QByteArray data, const QByteArray& key = QByteArray(kLodKey));

enum class FirmwareKind { PlainHex, Scrambled };

// The name rule: the three characters after the last "." of the path (the first three of the
// path when it has no "."), lower-cased; "hex" is plain HEX, anything else is scrambled.
FirmwareKind FirmwareKindFromName(const QString& path);

// A file whose first byte is ":" is HEX text whatever its name (a scrambled one starts with "q",
// ":" XOR "K"); so is one that starts with a UTF-8 byte order mark and ":", as some editors save
// it. head: the file's first bytes (four suffice), empty when the file is empty or unreadable;
// otherwise the name decides.
FirmwareKind FirmwareKindOf(const QString& path, const QByteArray& head);
