#pragma once

#include "ui/stationevent.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The state a bag's line shows, as of one of its rows. Stored with every row of a bag (0 on rows that
// belong to no bag), so that a bag's latest state is the state of its latest row.
enum class BagState
{
    None = 0,      // the row belongs to no bag (sign-in, sign-out, journal rows)
    Scanned = 1,   // linked, nothing packed yet
    Requested = 2, // the seal record went out in this attempt; its answer has not come yet
    InDoubt = 3,   // the service holds (or may hold) a seal whose lock the key has not confirmed
    Sealed = 4,    // recorded and locked
    Failed = 5,    // the latest attempt failed, with nothing left in doubt
    Unlocked = 6   // the key reported the lock open
};

// The state a bag is in after `kind`, given its state before. Requested and InDoubt both read "Not
// confirmed"; a doubt stays until the key confirms a close or an open, whatever fails meanwhile.
BagState nextBagState(BagState previous, StationEvent::Kind kind);
bool isBagEvent(StationEvent::Kind kind);
// Rows written ahead of a change to a seal or a lock (the renames of earlier seals, the seal record,
// an open): they are flushed to the disk before the request goes out, so that a doubt they start
// survives a power cut. The flush makes every row before them durable too.
bool mustFlush(const QString &eventName);
// "Sealed", "Not confirmed", "Failed", "Unlocked", "Scanned"; empty for None.
QString bagStateText(BagState state);
// Lines the view's exception filter keeps: not confirmed or failed.
bool isException(BagState state);
// The stored state of a row, None when the number is none of ours.
BagState bagStateFromInt(qint64 value);

// The stored name of an event ("SealRecorded"), and the journal's own rows.
QString eventName(StationEvent::Kind kind);
extern const char *const kCheckpointEvent; // older rows were pruned; the row carries the last pruned hash
extern const char *const kGapEvent;        // events were lost while the journal could not be written
// The label shown for a stored event name ("Seal recorded"); an unknown name is shown as it is.
QString eventLabel(const QString &name);
// The kind of a stored name, false when it names no station event.
bool eventKind(const QString &name, StationEvent::Kind *kind);

// One row of the journal as stored. Every field but `seq` and `hash` goes into the row's hash.
struct JournalRow
{
    qint64 seq = 0;
    qint64 timeMs = 0; // UTC, milliseconds since 1970
    QString user;
    QString keySerial;
    QString keyBox;
    QString barcode;
    QString subject;
    QString school;
    qint64 examSchedId = -1;
    QString lockRf;
    QString lockId;
    QString event;
    QString outcome;
    qint64 session = 0; // seq of the SignedIn row of the sign-in session, 0 outside one
    int state = 0;      // BagState
    qint64 refSeq = 0;  // checkpoint rows: the last pruned row
    QByteArray refHash; // checkpoint rows: that row's hash
    QByteArray hash;    // SHA-256, 32 bytes
};

// The row's hash: SHA-256 over the previous row's hash (32 bytes; 32 zero bytes before the first
// row) followed by the row's fields in this order: timeMs, user, keySerial, keyBox, barcode, subject,
// school, examSchedId, lockRf, lockId, event, outcome, session, state, refSeq, refHash. Each field is
// written as its length in bytes (4 bytes, big-endian) and then its bytes: texts as UTF-8, numbers as
// 8-byte big-endian two's complement, refHash as it is. A fixed field list with a length before each
// field, so no two rows serialise alike.
QByteArray rowHash(const QByteArray &previousHash, const JournalRow &row);
QByteArray zeroHash();

// Texts stored as they hash: at most `kMaxFieldChars` characters, no NUL, valid UTF-16.
constexpr int kMaxFieldChars = 1024;
QString storedText(const QString &text);

// A text from outside on one line, for a cell or a printed column: line breaks and other control
// characters become spaces.
QString oneLine(const QString &text);
